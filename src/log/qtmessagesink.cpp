#include "qtmessagesink.h"

#include <memory>

#include <spdlog/spdlog.h>

#include <QDebug>
#include <QString>

void QtMessageSink::makeDefault()
{
    auto logger = std::make_shared<spdlog::logger>("dialvane", std::make_shared<QtMessageSink>());
    logger->set_level(spdlog::level::info);
    spdlog::set_default_logger(std::move(logger));
}

void QtMessageSink::sink_it_(const spdlog::details::log_msg &message)
{
    const QString text = QString::fromUtf8(message.payload.data(), static_cast<qsizetype>(message.payload.size()));
    switch (message.level) {
    case spdlog::level::warn:
        qWarning().noquote() << text;
        break;
    case spdlog::level::err:
    case spdlog::level::critical:
        qCritical().noquote() << text;
        break;
    default:
        qInfo().noquote() << text;
        break;
    }
}
