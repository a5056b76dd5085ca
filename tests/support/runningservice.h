#pragma once

#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include "eventloop.h"
#include "httpclient.h"
#include "service.h"
#include "wsserverpropertyset.h"

// The fixture models under the names the service loads them by.
inline QString fixtureModelFolder()
{
    static QTemporaryDir folder;
    static const bool copied
        = QFile::copy(QStringLiteral(DIALVANE_FIXTURE_DIR "/dial_pose.bin"), folder.filePath(QStringLiteral("1.bin")))
          && QFile::copy(QStringLiteral(DIALVANE_FIXTURE_DIR "/needle_obb.bin"), folder.filePath(QStringLiteral("2.bin")));
    return copied ? folder.path() : QString();
}

// The service as the application brings it up, with the fixture models, on a
// free port unless given one. Its settings and workers may be changed until
// start(); it stops when it goes.
class RunningService
{
public:
    explicit RunningService(int port = 0)
        : m_modelsLoaded(m_service.loadModels(fixtureModelFolder()))
    {
        m_service.createServer().port->setValue(port != 0 ? port : freePort());
    }

    // True once it listens; false as soon as it cannot.
    bool start()
    {
        if (!m_modelsLoaded || !m_service.start())
            return false;
        waitUntil([&] { return m_service.state() != Service::State::Starting; });
        return m_service.state() == Service::State::Serving;
    }

    Service &service() { return m_service; }
    WSServerPropertySet &settings() { return *m_service.settings(); }
    int port() const { return m_service.port(); }

private:
    Service m_service;
    const bool m_modelsLoaded;
};
