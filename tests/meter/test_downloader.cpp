#include "filedownloader.h"

#include <csignal>
#include <memory>

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include "eventloop.h"
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

// Each test's own temporary location lists the files left behind; a download
// that ignores its limits is released after 20 s, not left hanging.
class Downloader : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tempDir.isValid() && server.isListening());
        qputenv("TMPDIR", QFile::encodeName(tempDir.path()));
        QTimer::singleShot(20000, &guard, [this] { server.breakSilence(); });
    }
    void TearDown() override { oldTmpDir.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", oldTmpDir); }

    QStringList tempFiles() const { return QDir(tempDir.path()).entryList(QDir::Files); }
    bool fetch(const char *path, QString *file = nullptr, QString *error = nullptr) { return downloader->downloadSync(server.url(path), file, error); }

    const QByteArray oldTmpDir = qgetenv("TMPDIR");
    QTemporaryDir tempDir;
    LocalHttpServer server;
    QObject guard;
    std::unique_ptr<FileDownloader> downloader = std::make_unique<FileDownloader>(nullptr);
};

// One file at a time: each download removes the previous file, a failed one
// removes its own at once, and the end of the downloader removes the last.
TEST_F(Downloader, KeepsOneFileUntilTheNextDownload)
{
    const QByteArray body = randomBytes(20000);
    server.respond("/images/meter.jpg", 200, body);
    ASSERT_TRUE(fetch("/images/meter.jpg"));   // out-parameters may be null

    QString path, error;
    ASSERT_TRUE(fetch("/images/meter.jpg", &path, &error)) << error.toStdString();
    EXPECT_EQ(tempFiles(), QStringList(QFileInfo(path).fileName()));
    EXPECT_TRUE(readFile(path) == body);

    EXPECT_FALSE(fetch("/absent.jpg", &path, &error));
    EXPECT_FALSE(QFile::exists(path)) << "kept, or replaced by the failed download's file";
    EXPECT_TRUE(error.startsWith("Network error during synchronous download: ") && error.contains("Not Found")) << error.toStdString();
    EXPECT_EQ(tempFiles(), QStringList());

    ASSERT_TRUE(fetch("/images/meter.jpg", &path, &error)) << error.toStdString();
    downloader.reset();
    EXPECT_EQ(tempFiles(), QStringList());
}

// A body announced too large or never ending is cut off and leaves no file;
// one of exactly the limit is whole.
TEST_F(Downloader, StopsAtTheByteLimit)
{
    // Refused from the head alone: no byte of the body ever comes.
    server.stream("/huge.jpg", 1000000000000, 0, 0);
    QString path, error;
    EXPECT_FALSE(fetch("/huge.jpg", &path, &error));
    EXPECT_EQ(error.toStdString(), "Download is larger than 134217728 bytes.");
    EXPECT_EQ(tempFiles(), QStringList());

    downloader->setMaxBytes(100000);
    server.stream("/endless.jpg", -1, 16384, 0);
    EXPECT_FALSE(fetch("/endless.jpg", &path, &error));
    EXPECT_EQ(error.toStdString(), "Download is larger than 100000 bytes.");
    EXPECT_EQ(tempFiles(), QStringList());
    // The connection closes too, rather than draining the body for good.
    EXPECT_TRUE(pumpUntil([this] { return server.streaming() == 0; }, 10000)) << server.streaming();

    const QByteArray body = randomBytes(100000);
    server.respond("/exact.jpg", 200, body);
    server.respond("/over.jpg", 200, body + 'x');
    ASSERT_TRUE(fetch("/exact.jpg", &path, &error)) << error.toStdString();
    EXPECT_TRUE(readFile(path) == body);
    EXPECT_FALSE(fetch("/over.jpg", &path, &error));
    EXPECT_EQ(error.toStdString(), "Download is larger than 100000 bytes.");
    EXPECT_EQ(tempFiles(), QStringList());
}

// A byte-at-a-time trickle never trips the timeout without data; the whole
// transfer's deadline ends it. A silent server ends at that timeout.
TEST_F(Downloader, TrickleAndSilenceEndAtTheirTimeLimits)
{
    EXPECT_EQ(downloader->transferDeadline(), 60000);   // by default too, a trickle cannot hold a request for good
    server.stream("/trickle.jpg", 1000000, 1, 20);
    downloader->setTransferDeadline(500);
    QString path, error;
    EXPECT_FALSE(fetch("/trickle.jpg", &path, &error));
    EXPECT_EQ(error.toStdString(), "Download took longer than 0.5 seconds.");
    EXPECT_EQ(tempFiles(), QStringList());
    EXPECT_TRUE(pumpUntil([this] { return server.streaming() == 0; }, 10000)) << server.streaming();

    server.staySilent("/slow.jpg");
    downloader->setTransferDeadline(FileDownloader::MAX_TRANSFER_MS);   // so that only the timeout can end it
    downloader->setTransferTimeout(300);
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
    EXPECT_EQ(tempFiles(), QStringList());
}
#endif

// Every redirect hop is checked; a refused address is never connected to,
// however the URL spells it (the second server counts no request). 127.0.0.1
// stands for a public address, 127.0.0.2 for a private one.
TEST_F(Downloader, FollowsOnlyWhatTheUrlPolicyAllows)
{
    const QByteArray image = randomBytes(3000);
    server.respond("/images/meter.jpg", 200, image);
    server.redirect("/hop", "/images/meter.jpg");
    server.redirect("/a", "/hop");
    LocalHttpServer inner(QHostAddress(QStringLiteral("127.0.0.2")));
    ASSERT_TRUE(inner.isListening());
    inner.respond("/meter.jpg", 200, image);
    const QString innerPort = QString::number(inner.port());
    server.redirect("/inward", inner.url("/meter.jpg").toString());

    QString file, error;
    ASSERT_TRUE(fetch("/a", &file, &error)) << error.toStdString();
    EXPECT_EQ(readFile(file), image) << "a redirect's body is not the image";
    ASSERT_TRUE(fetch("/inward", &file, &error)) << error.toStdString();

    UrlPolicy policy;
    policy.maxRedirects = 1;
    downloader->setUrlPolicy(policy);
    EXPECT_FALSE(fetch("/a", &file, &error));
    EXPECT_EQ(error, "More than 1 redirects.");

    policy = UrlPolicy();
    policy.addressAllowed = [](const QHostAddress &address) { return address == QHostAddress(QStringLiteral("127.0.0.1")); };
    downloader->setUrlPolicy(policy);
    ASSERT_TRUE(fetch("/hop", &file, &error)) << error.toStdString();
    EXPECT_EQ(readFile(file), image);
    const int innerHits = inner.hits();
    const QString userinfo = QStringLiteral("http://127.0.0.1:%1@127.0.0.2:%2/meter.jpg").arg(server.port()).arg(innerPort);
    for (const QString &url : {server.url("/inward").toString(), userinfo,
                               QStringLiteral("http://2130706434:%1/meter.jpg").arg(innerPort),
                               QStringLiteral("http://0177.0.0.2:%1/meter.jpg").arg(innerPort)}) {
        EXPECT_FALSE(downloader->downloadSync(QUrl(url), &file, &error)) << url.toStdString();
        EXPECT_TRUE(error.contains("an address this server does not fetch from")) << error.toStdString();
    }
    EXPECT_EQ(inner.hits(), innerHits);

    policy = UrlPolicy();
    policy.prefixes = {server.url("/images/").toString()};
    downloader->setUrlPolicy(policy);
    EXPECT_TRUE(fetch("/images/meter.jpg", &file, &error)) << error.toStdString();
    EXPECT_FALSE(fetch("/hop", &file, &error));
    EXPECT_EQ(error, server.url("/hop").toString() + " is not beneath a URL this server fetches from.");

    policy.allowed = false;
    downloader->setUrlPolicy(policy);
    EXPECT_FALSE(fetch("/images/meter.jpg", &file, &error));
    EXPECT_EQ(error, "Image URLs are turned off on this server.");
    EXPECT_TRUE(tempFiles().isEmpty()) << "a refused download leaves no file";
}
