#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>

#include "eventloop.h"
#include "httpclient.h"
#include "mainwindow.h"
#include "qtncustompropertywidget.h"
#include "queue.h"
#include "qtnpropertyset.h"
#include "workingdirectory.h"

namespace {

// A working directory as the application expects it: bin/ with the fixture
// models or none, and, when given, a config.json.
class Workspace
{
public:
    explicit Workspace(bool withModels = true)
    {
        QDir(m_dir.path()).mkdir(QStringLiteral("bin"));
        if (withModels) {
            QFile::copy(QStringLiteral(DIALVANE_FIXTURE_DIR "/dial_pose.bin"), m_dir.filePath("bin/1.bin"));
            QFile::copy(QStringLiteral(DIALVANE_FIXTURE_DIR "/needle_obb.bin"), m_dir.filePath("bin/2.bin"));
        }
    }

    // `more`: further members, as they stand in the file.
    void writeConfig(int port, const QString &more = QString()) const
    {
        QFile file(m_dir.filePath("config.json"));
        file.open(QIODevice::WriteOnly);
        file.write(QStringLiteral(R"({"port":{"value":"%1"}%2})").arg(port).arg(more).toUtf8());
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

    auto *settings = window->findChild<QtnCustomPropertyWidget *>("widget_setting");
    EXPECT_FALSE(settings->isEnabled());
    EXPECT_EQ(settings->propertySet()->findChildProperties("port").value(0)->toStr(), QString::number(port));

    // The log view shows the service's own lines; the robustness suite puts
    // real requests through the same wiring.
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

// Models missing: the start stops with an error box, and the reason
// reaches the log. (Program.* below tells missing models from broken ones.)
TEST(MainWindow, AModelThatDoesNotLoadStopsTheStartWithAnErrorBox)
{
    Workspace workspace(false);
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
    const QString reason = QStringLiteral("no models found in %1 (give --models DIR)").arg(QDir::current().absoluteFilePath("bin"));
    EXPECT_TRUE(pumpUntil([&] { return window.findChild<QTextEdit *>("textEdit_log")->toPlainText().contains(reason); }))
        << reason.toStdString();
}

// After a few requests, /metrics counts each by how it ended and times the
// readings, and /health says whether the queue takes requests.
TEST(MainWindow, MetricsCountWhatWasServedAndHealthFollowsTheQueue)
{
    Workspace workspace;
    const int port = freePort();
    const int metricsPort = freePort();
    workspace.writeConfig(port, QStringLiteral(R"(,"metricsPort":{"value":"%1"})").arg(metricsPort));
    const std::string photo = workspace.path("photo.png").toStdString();
    ASSERT_TRUE(cv::imwrite(photo, cv::Mat(640, 640, CV_8UC3, cv::Scalar(30, 60, 90))));
    MainWindow window;
    ASSERT_TRUE(window.init());
    ASSERT_TRUE(pumpUntil([&] { return window.findChild<QLabel *>("label_status")->text() == "OK"; }));
    // "OK" comes as the listener's thread starts, before it has bound the port.
    ASSERT_TRUE(pumpUntil([&] {
        const int probe = connectTo(port);
        return probe >= 0 && ::close(probe) == 0;
    }));

    const auto serve = [&](const char *path, const std::string &body) {
        return whileServing([&] { return post(port, path, body); }).status;
    };
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(serve("/endpoint", R"({"image_path":")" + photo + R"("})"), 200);
    serve("/endpoint", R"({"image_path":"/no/such.png"})");
    serve("/endpoint", R"({"image_data":"abc$"})");
    serve("/elsewhere", "{}");

    const auto get = [&](const char *path) {
        return sendRaw(metricsPort, std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    };
    const HttpReply scraped = get("/metrics");
    EXPECT_EQ(scraped.status, 200);
    for (const char *line : {"dialvane_requests_total{outcome=\"read\"} 3\n",
                             "dialvane_requests_total{kind=\"File does not exist.\",outcome=\"refused\"} 1\n",
                             "dialvane_requests_total{kind=\"Invalid base64 encoded data.\",outcome=\"refused\"} 1\n",
                             "dialvane_requests_total{outcome=\"400\"} 1\n",
                             "dialvane_seconds_count{stage=\"engine\"} 3\n",
                             "dialvane_seconds_count{stage=\"queue\"} 5\n",
                             "dialvane_queue_depth 0\n"})
        EXPECT_NE(scraped.body.find(line), std::string::npos) << line << scraped.body;
    EXPECT_NE(scraped.body.find("dialvane_build_info{dial_model_sha256=\""), std::string::npos) << scraped.body;

    EXPECT_EQ(get("/health").status, 200);
    Queue::instance().close();
    const HttpReply closing = get("/health");
    Queue::instance().reopen();
    EXPECT_EQ(closing.status, 503);
    EXPECT_EQ(closing.body, R"({"status":"unavailable"})");
}

// Without a display the program runs unattended: a start that fails must end
// it, with the reason in its log, instead of waiting on a box nobody sees.
// Files that are there but do not load keep the loader's own complaint.
TEST(Program, WithoutADisplayAFailedStartEndsWithTheReason)
{
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QDir dir(scratch.path());
    ASSERT_TRUE(dir.mkdir("broken"));
    for (const char *name : {"broken/1.bin", "broken/2.bin"}) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("not a model") > 0);
    }
    {
        QFile config(dir.filePath("config.json"));
        ASSERT_TRUE(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral(R"({"port":{"value":"%1"}})").arg(freePort()).toUtf8());
    }

    struct Run
    {
        bool finished = false;
        int exitCode = -1;
        QString output;
    };
    const auto run = [&](const QStringList &arguments) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(dir.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral(DIALVANE_APP), arguments);
        Run result;
        result.finished = process.waitForFinished(30000);
        if (!result.finished) {
            process.kill();
            process.waitForFinished();
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.output = QString::fromUtf8(process.readAll());
        return result;
    };

    const Run missing = run({});
    ASSERT_TRUE(missing.finished) << "still running after 30 s: " << missing.output.toStdString();
    EXPECT_EQ(missing.exitCode, 255);
    EXPECT_TRUE(missing.output.contains(QStringLiteral("no models found in %1 (give --models DIR)").arg(dir.filePath("bin"))))
        << missing.output.toStdString();

    const Run broken = run({"--models", "broken"});
    ASSERT_TRUE(broken.finished) << "still running after 30 s: " << broken.output.toStdString();
    EXPECT_EQ(broken.exitCode, 255);
    EXPECT_TRUE(broken.output.contains(QStringLiteral("the models in %1 cannot be loaded").arg(dir.filePath("broken"))))
        << broken.output.toStdString();
    EXPECT_TRUE(broken.output.contains("ONNX initializaton failed")) << broken.output.toStdString();
    EXPECT_FALSE(broken.output.contains("no models found")) << broken.output.toStdString();
}
