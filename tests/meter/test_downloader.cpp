#include "filedownloader.h"

#include <csignal>
#include <string>

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include "localhttpserver.h"

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#endif

namespace {

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(size);
    for (char &c : bytes)
        c = static_cast<char>(random.bounded(256));
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void waitFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

// Each test gets its own temporary-files location, so that the files the
// downloader leaves behind can be listed.
class Downloader : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tempDir.isValid());
        ASSERT_TRUE(server.isListening());
        hadTmpDir = qEnvironmentVariableIsSet("TMPDIR");
        oldTmpDir = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(tempDir.path()));
        ASSERT_EQ(QStandardPaths::writableLocation(QStandardPaths::TempLocation).toStdString(), tempDir.path().toStdString());
    }

    void TearDown() override
    {
        if (hadTmpDir)
            qputenv("TMPDIR", oldTmpDir);
        else
            qunsetenv("TMPDIR");
    }

    QStringList tempFiles() const { return QDir(tempDir.path()).entryList(QDir::Files); }

    QTemporaryDir tempDir;
    bool hadTmpDir = false;
    QByteArray oldTmpDir;
    LocalHttpServer server;
    FileDownloader downloader{nullptr};
};

TEST_F(Downloader, TempFileTemplateFollowsUrlFileName)
{
    const std::string dir = tempDir.path().toStdString();
    const auto templateFor = [](const char *url) {
        return FileDownloader::makeTempFileTemplate(QUrl(url)).toStdString();
    };

    EXPECT_EQ(templateFor("http://host/"), dir + "/download_XXXXXX.tmp");
    EXPECT_EQ(templateFor("http://host"), dir + "/download_XXXXXX.tmp");
    EXPECT_EQ(templateFor("http://host/images/"), dir + "/download_XXXXXX.tmp");
    EXPECT_EQ(templateFor("http://host/images/meter.jpg?size=2"), dir + "/meter_XXXXXX.jpg");
    EXPECT_EQ(templateFor("http://host/a.b.c.jpg"), dir + "/a_XXXXXX.jpg");
    EXPECT_EQ(templateFor("http://host/images/meter"), dir + "/meter_XXXXXX.tmp");
    EXPECT_EQ(templateFor("http://host/my%20meter.png"), dir + "/my meter_XXXXXX.png");

    // Encoded separators cannot lead the file out of the temporary location.
    const QString escaping = FileDownloader::makeTempFileTemplate(QUrl("http://host/x/..%2F..%2Fetc%2Fevil.jpg"));
    EXPECT_EQ(QFileInfo(escaping).absolutePath().toStdString(), dir);
}

TEST_F(Downloader, StoresBodyByteIdentically)
{
    const QByteArray body = randomBytes(20000);
    server.respond("/images/meter.jpg", 200, body);

    QString path;
    QString error = "untouched";
    ASSERT_TRUE(downloader.downloadSync(server.url("/images/meter.jpg"), &path, &error)) << error.toStdString();
    EXPECT_EQ(error.toStdString(), "untouched");

    const QFileInfo info(path);
    EXPECT_EQ(info.absolutePath().toStdString(), tempDir.path().toStdString());
    EXPECT_TRUE(QRegularExpression("^meter_\\w{6}\\.jpg$").match(info.fileName()).hasMatch()) << path.toStdString();
    EXPECT_TRUE(readFile(path) == body);

    server.respond("/empty", 200, {});
    ASSERT_TRUE(downloader.downloadSync(server.url("/empty"), &path, &error));
    EXPECT_TRUE(QRegularExpression("^empty_\\w{6}\\.tmp$").match(QFileInfo(path).fileName()).hasMatch());
    EXPECT_EQ(QFileInfo(path).size(), 0);
}

TEST_F(Downloader, HttpErrorStatusFailsAndKeepsPartialFile)
{
    server.respond("/missing.jpg", 404, "no such meter");

    QString path = "untouched";
    QString error;
    EXPECT_FALSE(downloader.downloadSync(server.url("/missing.jpg"), &path, &error));
    EXPECT_TRUE(error.startsWith("Network error during synchronous download: ")) << error.toStdString();
    EXPECT_TRUE(error.contains("Not Found")) << error.toStdString();
    EXPECT_EQ(path.toStdString(), "untouched");

    const QStringList files = tempFiles();
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(files.first().startsWith("missing_"));
}

TEST_F(Downloader, TempFileLivesUntilNextDownloadOrDestruction)
{
    server.respond("/first.jpg", 200, "first");
    server.respond("/second.jpg", 200, "second");

    QString first;
    QString second;
    ASSERT_TRUE(downloader.downloadSync(server.url("/first.jpg"), &first, nullptr));
    ASSERT_TRUE(QFile::exists(first));
    ASSERT_TRUE(downloader.downloadSync(server.url("/second.jpg"), &second, nullptr));
    EXPECT_FALSE(QFile::exists(first));
    EXPECT_EQ(readFile(second).toStdString(), "second");

    // A failed download replaces the file just the same.
    EXPECT_FALSE(downloader.downloadSync(server.url("/absent.jpg"), nullptr, nullptr));
    EXPECT_FALSE(QFile::exists(second));

    QString last;
    {
        FileDownloader local(nullptr);
        ASSERT_TRUE(local.downloadSync(server.url("/first.jpg"), &last, nullptr));
        ASSERT_TRUE(QFile::exists(last));
    }
    EXPECT_FALSE(QFile::exists(last));
}

TEST_F(Downloader, InvalidUrlIsNeverSent)
{
    const QUrl url(QStringLiteral("http://127.0.0.1 :%1/meter.jpg").arg(server.port()), QUrl::TolerantMode);
    ASSERT_FALSE(url.isValid());

    QString path = "untouched";
    QString error;
    EXPECT_FALSE(downloader.downloadSync(url, &path, &error));
    EXPECT_TRUE(error.startsWith("Invalid URL: ")) << error.toStdString();
    EXPECT_EQ(path.toStdString(), "untouched");
    EXPECT_FALSE(downloader.downloadSync(url, nullptr, nullptr));

    waitFor(200);
    EXPECT_EQ(server.connections(), 0);
    EXPECT_TRUE(tempFiles().isEmpty());
}

TEST_F(Downloader, NullOutParametersAreAllowed)
{
    server.respond("/meter.jpg", 200, "data");
    EXPECT_TRUE(downloader.downloadSync(server.url("/meter.jpg"), nullptr, nullptr));
    EXPECT_FALSE(downloader.downloadSync(server.url("/absent.jpg"), nullptr, nullptr));
    EXPECT_FALSE(downloader.downloadSync(QUrl("http://bad host/"), nullptr, nullptr));
}

TEST_F(Downloader, SilentServerEndsAtTransferTimeout)
{
    EXPECT_GT(downloader.transferTimeout(), 0);

    server.staySilent("/slow.jpg");
    downloader.setTransferTimeout(300);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, &watchdog, [this] { server.breakSilence(); });
    watchdog.start(10000);

    QElapsedTimer elapsed;
    elapsed.start();
    QString error;
    EXPECT_FALSE(downloader.downloadSync(server.url("/slow.jpg"), nullptr, &error));
    EXPECT_LT(elapsed.elapsed(), 5000);
    EXPECT_EQ(server.connections(), 1);
    EXPECT_TRUE(error.startsWith("Network error during synchronous download: ")) << error.toStdString();
}

#ifdef Q_OS_LINUX
// A file-size limit makes the temporary file's writes fail part-way, as a
// full disk would. While it is set, writes to other files past the limit
// fail too, so nothing else runs in that window.
TEST_F(Downloader, ShortWriteFailsInsteadOfReportingSuccess)
{
    const QByteArray body = randomBytes(256 * 1024);
    server.respond("/large.jpg", 200, body);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 8192;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

    QString path = "untouched";
    QString error;
    const bool ok = downloader.downloadSync(server.url("/large.jpg"), &path, &error);

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);

    EXPECT_FALSE(ok);
    EXPECT_TRUE(error.startsWith("Failed to write temporary file: ")) << error.toStdString();
    EXPECT_EQ(path.toStdString(), "untouched");
}
#endif

TEST_F(Downloader, AsyncDownloadSignalsOutcome)
{
    const QByteArray body = randomBytes(30000);
    server.respond("/async.png", 200, body);

    QStringList downloaded;
    QStringList failed;
    QEventLoop loop;
    QObject::connect(&downloader, &FileDownloader::fileDownloaded, &loop, [&](const QString &path) {
        downloaded << path;
        loop.quit();
    });
    QObject::connect(&downloader, &FileDownloader::downloadFailed, &loop, [&](const QString &error) {
        failed << error;
        loop.quit();
    });
    const auto run = [&](const QString &path) {
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        downloader.startDownload(server.url(path));
        loop.exec();
    };

    run("/async.png");
    ASSERT_EQ(downloaded.size(), 1);
    EXPECT_TRUE(failed.isEmpty());
    EXPECT_TRUE(readFile(downloaded.first()) == body);

    run("/absent.png");
    waitFor(100); // the finish report follows the error report
    EXPECT_EQ(downloaded.size(), 1);
    ASSERT_FALSE(failed.isEmpty());
    EXPECT_TRUE(failed.first().startsWith("Network error during asynchronous download: ")) << failed.first().toStdString();
    EXPECT_FALSE(QFile::exists(downloaded.first()));
}
