#include <csignal>
#include <future>
#include <vector>
#include <string>

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>

#include "eventloop.h"
#include "httpclient.h"
#include "mainwindow.h"
#include "qtncustompropertywidget.h"
#include "qtnpropertyset.h"
#include "workingdirectory.h"

namespace {

// Which models a workspace's bin/ holds.
enum class Models { None, Fixture, Shipped };

// A working directory as the application expects it: bin/ with the models
// and, when given, a config.json.
class Workspace
{
public:
    explicit Workspace(Models models = Models::Fixture)
    {
        QDir(m_dir.path()).mkdir(QStringLiteral("bin"));
        if (models == Models::Fixture) {
            QFile::copy(QStringLiteral(DIALVANE_FIXTURE_DIR "/dial_pose.bin"), m_dir.filePath("bin/1.bin"));
            QFile::copy(QStringLiteral(DIALVANE_FIXTURE_DIR "/needle_obb.bin"), m_dir.filePath("bin/2.bin"));
        } else if (models == Models::Shipped) {
            QFile::copy(QStringLiteral(DIALVANE_SOURCE_DIR "/bin/1.bin"), m_dir.filePath("bin/1.bin"));
            QFile::copy(QStringLiteral(DIALVANE_SOURCE_DIR "/bin/2.bin"), m_dir.filePath("bin/2.bin"));
        }
    }

    void writeConfig(int port) const
    {
        QFile file(m_dir.filePath("config.json"));
        file.open(QIODevice::WriteOnly);
        file.write(QStringLiteral(R"({"port":{"value":"%1"}})").arg(port).toUtf8());
    }
    QString path(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    WorkingDirectory m_cwd{m_dir.path()};
};

} // namespace

TEST(MainWindow, StartsShowsSettingsAndExits)
{
    Workspace workspace;
    const int port = freePort();
    workspace.writeConfig(port);
    auto window = std::make_unique<MainWindow>();
    window->show();
    ASSERT_TRUE(window->init());
    auto *status = window->findChild<QLabel *>("label_status");
    EXPECT_TRUE(pumpUntil([&] { return status->text() == "OK"; }));
    EXPECT_EQ(window->windowTitle(), "Dialvane");

    auto *settings = window->findChild<QtnCustomPropertyWidget *>("widget_setting");
    EXPECT_FALSE(settings->isEnabled());
    EXPECT_EQ(settings->propertySet()->findChildProperties("port").value(0)->toStr(), QString::number(port));

    // The log view shows the service's own lines; the Application test below
    // puts a real request through the same wiring.
    EXPECT_TRUE(pumpUntil([&] {
        return window->findChild<QTextEdit *>("textEdit_log")->toPlainText().contains("Server running on port:");
    }));

    // File > Exit closes the window and ends the event loop; the destructor
    // then stops every thread without hanging.
    QTimer::singleShot(0, window.get(), [&] { window->findChild<QAction *>("actionExit")->trigger(); });
    QApplication::exec();
    EXPECT_FALSE(window->isVisible());
    QElapsedTimer shutdown;
    shutdown.start();
    window.reset();
    EXPECT_LT(shutdown.elapsed(), 3000);
    EXPECT_EQ(connectTo(port), -1) << "the port is closed";
}

TEST(MainWindow, AMissingModelStopsTheStartWithAnErrorBox)
{
    Workspace workspace(Models::None);
    workspace.writeConfig(freePort());
    MainWindow window;
    window.show();
    QString title, text;
    // Answers the box as soon as it shows; a box that never comes fails the
    // test through the watchdog instead of leaving init() to run on.
    QTimer closer;
    QElapsedTimer watchdog;
    watchdog.start();
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            title = box->windowTitle();
            text = box->text();
            box->accept();
        } else if (watchdog.hasExpired(20000)) {
            closer.stop();
            ADD_FAILURE() << "no error box within 20 s";
        }
    });
    closer.start(5);
    EXPECT_FALSE(window.init());
    closer.stop();
    EXPECT_EQ(title, "Error!");
    EXPECT_EQ(text, "Dialvane Engine init failed!");
    EXPECT_EQ(window.findChild<QObject *>("WSServer"), nullptr) << "no settings, so no config.json read";
    EXPECT_EQ(window.findChild<QLabel *>("label_status")->text(), "Failed");
}

TEST(Application, ServesAndStopsCleanlyWithRequestsQueuedAndClientsStalled)
{
    Workspace workspace(Models::Shipped);
    const int port = freePort();
    workspace.writeConfig(port);
    const std::string photo = DIALVANE_SOURCE_DIR "/samples/gauge.jpg";

    // A camera that never answers keeps the handler busy, so the next request waits in the queue.
    QTcpServer silentCamera;
    ASSERT_TRUE(silentCamera.listen(QHostAddress::LocalHost, 0));

    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    app.setProcessEnvironment(env);
    app.setWorkingDirectory(QDir::currentPath());
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(DIALVANE_EXECUTABLE, {});
    ASSERT_TRUE(app.waitForStarted());
    ASSERT_TRUE(pumpUntil([&] { return connectTo(port) >= 0; }, 20000)) << app.readAll().toStdString();

    // The shipped models read the sample gauge (97.03 on a scale to 400).
    const HttpReply first = post(port, "/endpoint", R"({"image_path":")" + photo + R"(","max":400})");
    EXPECT_EQ(first.status, 200);
    const QJsonObject reading = QJsonDocument::fromJson(QByteArray::fromStdString(first.body)).object();
    EXPECT_EQ(reading["error"].toString(), "") << first.body;
    EXPECT_NEAR(reading["value"].toDouble(), 97.03, 20.0) << first.body;

    // Each request the program has received prints its path.
    QByteArray output;
    const auto received = [&] {
        output += app.readAll();
        return output.count("m_ctx->path:");
    };
    const std::string camera = "http://127.0.0.1:" + std::to_string(silentCamera.serverPort()) + "/gauge.jpg";
    auto busy = std::async(std::launch::async, [&] { return post(port, "/endpoint", R"({"image_path":")" + camera + R"("})"); });
    ASSERT_TRUE(pumpUntil([&] { return silentCamera.hasPendingConnections(); }, 20000)) << "the handler never called the camera";
    std::vector<std::future<HttpReply>> queued;
    for (int i = 0; i < 10; ++i)
        queued.push_back(std::async(std::launch::async, [&] { return post(port, "/endpoint", R"({"image_path":")" + photo + R"("})"); }));
    std::vector<int> stalled;
    for (int i = 0; i < 20; ++i)
        stalled.push_back(connectTo(port));
    ASSERT_TRUE(pumpUntil([&] { return received() == 12; }, 20000)) << output.toStdString();

    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    ASSERT_TRUE(pumpUntil([&] { return app.state() == QProcess::NotRunning; }, 10000)) << "shutdown hung";
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0) << app.readAll().toStdString();
    for (auto &reply : queued)
        EXPECT_EQ(reply.get().body, R"({"error":"Dialvane is shutting down."})");
    EXPECT_NE(busy.get().status, 0) << "the request in hand is answered too";
    for (int fd : stalled)
        ::close(fd);
}
