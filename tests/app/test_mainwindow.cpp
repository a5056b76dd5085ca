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

// The window shows its settings, read-only, and the service's log lines (the
// robustness suite puts real requests through the same wiring). After a few
// requests /metrics counts each by how it ended and times the readings, and
// /health says whether the queue takes requests.
TEST(MainWindow, ServesCountsWhatItServedAndExits)
{
    Workspace workspace;
    const int port = freePort();
    const int metricsPort = freePort();
    workspace.writeConfig(port, QStringLiteral(R"(,"metricsPort":{"value":"%1"})").arg(metricsPort));
    const std::string photo = workspace.path("photo.png").toStdString();
    ASSERT_TRUE(cv::imwrite(photo, cv::Mat(640, 640, CV_8UC3, cv::Scalar(30, 60, 90))));
    auto window = std::make_unique<MainWindow>();
    window->show();
    ASSERT_TRUE(window->init());
    ASSERT_TRUE(pumpUntil([&] { return window->findChild<QLabel *>("label_status")->text() == "OK"; }));

    auto *settings = window->findChild<QtnCustomPropertyWidget *>("widget_setting");
    EXPECT_FALSE(settings->isEnabled());
    EXPECT_EQ(settings->propertySet()->findChildProperties("port").value(0)->toStr(), QString::number(port));
    EXPECT_TRUE(pumpUntil([&] {
        return window->findChild<QTextEdit *>("textEdit_log")->toPlainText().contains("Server running on port:");
    }));
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

// Without a display the program runs unattended: a start that fails must end
// it, with the reason in its log, instead of waiting on a box nobody sees.
// Files that are there but do not load keep the loader's own complaint.
TEST(Program, WithoutADisplayAFailedStartEndsWithTheReason)
{
    Workspace workspace(false);   // the program's working directory too
    workspace.writeConfig(freePort());
    ASSERT_TRUE(QDir().mkdir("broken"));
    for (const char *name : {"broken/1.bin", "broken/2.bin"}) {
        QFile file(QString::fromLatin1(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("not a model") > 0);
    }
    const struct
    {
        QStringList arguments;
        QStringList said;
    } runs[] = {
        {{}, {QStringLiteral("no models found in %1 (give --models DIR)").arg(workspace.path("bin"))}},
        {{"--models", "broken"},
         {QStringLiteral("the models in %1 cannot be loaded").arg(workspace.path("broken")), "ONNX initializaton failed"}},
    };
    for (const auto &r : runs) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral(DIALVANE_APP), r.arguments);
        const bool finished = process.waitForFinished(30000);
        if (!finished) {
            process.kill();
            process.waitForFinished();
        }
        const std::string output = QString::fromUtf8(process.readAll()).toStdString();
        ASSERT_TRUE(finished) << "still running after 30 s: " << output;
        EXPECT_EQ(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, 255) << output;
        for (const QString &line : r.said)
            EXPECT_NE(output.find(line.toStdString()), std::string::npos) << output;
        EXPECT_EQ(output.find("no models found") != std::string::npos, r.arguments.isEmpty()) << output;
    }
}
