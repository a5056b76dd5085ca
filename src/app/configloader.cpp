#include "configloader.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include "qtnpropertyset.h"

void loadConfig(QtnPropertySet &settings, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QDebug debug = qDebug();
        debug << "Could not open file for reading:";
        debug.noquote() << path;
        debug.quote() << "Error:" << file.errorString() << ", will use default vaue.";
        return;
    }

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    // A top-level array parses without error; the message then says just that.
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qDebug() << "Failed to parse config JSON:" << error.errorString();
        return;
    }
    settings.fromJson(document.object());
}
