#include "filedownloader.h"

#include <csignal>
#include <memory>

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include "localhttpserver.h"

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#endif

namespace {

QByteArray randomBytes(int size)
{
    QByteArray bytes;
    for (QRandomGenerator random(size); bytes.size() < size;)
        bytes.append(static_cast<char>(random.bounded(256)));
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("unreadable");
}

} // namespace

// Each test gets its own temporary-files location, so that the files the
// downloader leaves behind can be listed.
class Downloader : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tempDir.isValid() && server.isListening());
        qputenv("TMPDIR", QFile::encodeName(tempDir.path()));
    }
    void TearDown() override { oldTmpDir.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", oldTmpDir); }

    QStringList tempFiles() const { return QDir(tempDir.path()).entryList(QDir::Files); }
    bool fetch(const char *path, QString *file = nullptr, QString *error = nullptr) { return downloader->downloadSync(server.url(path), file, error); }

    const QByteArray oldTmpDir = qgetenv("TMPDIR");
    QTemporaryDir tempDir;
    LocalHttpServer server;
    std::unique_ptr<FileDownloader> downloader = std::make_unique<FileDownloader>(nullptr);
};

TEST_F(Downloader, TempFileTemplateFollowsUrlFileName)
{
    const struct { const char *url, *name; } cases[] = {
        {"http://host/", "download_XXXXXX.tmp"}, {"http://host", "download_XXXXXX.tmp"},
        {"http://host/images/meter.jpg?size=2", "meter_XXXXXX.jpg"}, {"http://host/a.b.c.jpg", "a_XXXXXX.jpg"},
        {"http://host/images/meter", "meter_XXXXXX.tmp"}, {"http://host/my%20meter.png", "my meter_XXXXXX.png"},
        {"http://host/x/..%2F..%2Fetc%2Fevil.jpg", "evil_XXXXXX.jpg"},   // stays in the temporary location
    };
    for (const auto &c : cases)
        EXPECT_EQ(FileDownloader::makeTempFileTemplate(QUrl(c.url)).toStdString(),
                  (tempDir.path() + '/' + c.name).toStdString());
}

// One file at a time: each download removes the previous file, a failed one
// leaves its partial file, and the end of the downloader removes the last.
TEST_F(Downloader, KeepsOneFileUntilTheNextDownload)
{
    const QByteArray body = randomBytes(20000);
    server.respond("/images/meter.jpg", 200, body);
    ASSERT_TRUE(fetch("/images/meter.jpg"));   // out-parameters may be null

    QString path, error;
    ASSERT_TRUE(fetch("/images/meter.jpg", &path, &error)) << error.toStdString();
    EXPECT_EQ(tempFiles(), QStringList(QFileInfo(path).fileName()));
    EXPECT_TRUE(QRegularExpression("^meter_\\w{6}\\.jpg$").match(QFileInfo(path).fileName()).hasMatch()) << path.toStdString();
    EXPECT_TRUE(readFile(path) == body);

    EXPECT_FALSE(fetch("/absent.jpg", &path, &error));
    EXPECT_FALSE(QFile::exists(path)) << "kept, or replaced by the failed download's file";
    EXPECT_TRUE(error.startsWith("Network error during synchronous download: ") && error.contains("Not Found")) << error.toStdString();
    ASSERT_EQ(tempFiles().size(), 1);
    EXPECT_TRUE(tempFiles().first().startsWith("absent_"));
    downloader.reset();
    EXPECT_EQ(tempFiles(), QStringList());
}

TEST_F(Downloader, SilentServerEndsAtTransferTimeout)
{
    server.staySilent("/slow.jpg");
    downloader->setTransferTimeout(300);
    QObject guard;   // a download that ignores the timeout is released, not left hanging
    QTimer::singleShot(10000, &guard, [this] { server.breakSilence(); });

    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_FALSE(fetch("/slow.jpg"));   // out-parameters may be null on failure too
    EXPECT_TRUE(elapsed.elapsed() >= 250 && elapsed.elapsed() < 5000) << elapsed.elapsed() << " ms";
}

#ifdef Q_OS_LINUX
// A file-size limit makes the temporary file's writes fail part-way, as a
// full disk would. It applies to every file, so nothing else runs meanwhile.
TEST_F(Downloader, ShortWriteFailsInsteadOfReportingSuccess)
{
    server.respond("/large.jpg", 200, randomBytes(256 * 1024));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const rlimit small{8192, saved.rlim_max};
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    QString error;
    const bool ok = fetch("/large.jpg", nullptr, &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);

    EXPECT_FALSE(ok);
    EXPECT_TRUE(error.startsWith("Failed to write temporary file: ")) << error.toStdString();
}
#endif
