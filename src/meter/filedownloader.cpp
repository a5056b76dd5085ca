#include "filedownloader.h"

#include <algorithm>
#include <optional>

#include <QDebug>
#include <QEventLoop>
#include <QFileInfo>
#include <QHostInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>

#include "addresspolicy.h"

FileDownloader::FileDownloader(QObject *parent)
    : QObject(parent)
    , m_manager(new QNetworkAccessManager(this))
    , m_deadline(new QTimer(this))
{
    qRegisterMetaType<QNetworkReply::NetworkError>("QNetworkReply::NetworkError");
    m_deadline->setSingleShot(true);
    connect(m_deadline, &QTimer::timeout, this, [this] {
        if (m_reply && m_failure.isEmpty()) {
            m_failure = deadlineMessage();
            cutOff(m_reply);   // finishes the reply; onDownloadFinished reports it
        }
    });
}

bool FileDownloader::downloadSync(const QUrl &url, QString *tempFilePath, QString *errorString)
{
    if (!url.isValid()) {
        if (errorString)
            *errorString = QStringLiteral("Invalid URL: ") + url.toString();
        return false;
    }

    discardPrevious();
    if (!openTempFile(url, errorString))
        return false;
    qDebug() << "[Sync] Temporary file created at:" << m_tempFile->fileName();

    QString failure;
    QEventLoop loop;
    // One deadline for the whole transfer, redirects included.
    QTimer deadline;
    deadline.setSingleShot(true);
    if (m_transferDeadline > 0)
        deadline.start(m_transferDeadline);
    QUrl hop = url;
    int redirects = 0;
    QNetworkReply *reply = nullptr;
    for (;;) {
        reply = sendGet(hop, &failure);
        if (!reply)
            break;
        // Tied to the loop, so the captured locals are never used after return.
        watch(reply, &loop, &failure);
        const QMetaObject::Connection onDeadline = connect(&deadline, &QTimer::timeout, &loop, [this, reply, &failure] {
            if (failure.isEmpty()) {
                failure = deadlineMessage();
                cutOff(reply);
            }
        });
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!reply->isFinished() && (m_transferDeadline <= 0 || deadline.isActive()))
            loop.exec();
        disconnect(onDeadline);
        // The loop also ends when the application quits: a transfer cut short
        // there is a failure, not a short file.
        if (!reply->isFinished()) {
            if (failure.isEmpty())
                failure = deadlineMessage();
            cutOff(reply);
        }
        if (!failure.isEmpty() || !nextHop(reply, redirects, hop, &failure))
            break;
        reply->disconnect(&loop);
        reply->deleteLater();
        restartFile();
    }

    bool ok = false;
    QString error;
    if (!failure.isEmpty()) {
        error = failure;
    } else if (reply->error() != QNetworkReply::NoError) {
        error = QStringLiteral("Network error during synchronous download: ") + reply->errorString();
    } else if (m_tempFile && m_tempFile->isOpen()) {
        ok = completeFile(reply, &error);
        if (ok && tempFilePath)
            *tempFilePath = m_tempFile->fileName();
    } else {
        error = QStringLiteral("Temporary file was not open or valid during synchronous download finish.");
    }
    if (!ok) {
        discardFile();
        if (errorString)
            *errorString = error;
    }

    if (reply)
        reply->deleteLater();
    return ok;
}

void FileDownloader::startDownload(const QUrl &url)
{
    if (!url.isValid()) {
        emit downloadFailed(QStringLiteral("Invalid URL: ") + url.toString());
        return;
    }

    discardPrevious();
    m_failure.clear();
    if (!openTempFile(url, nullptr))
        return;

    m_url = url;
    m_redirects = 0;
    m_reply = sendGet(url, &m_failure);
    if (!m_reply) {
        discardFile();
        emit downloadFailed(m_failure);
        return;
    }
    watch(m_reply, this, &m_failure);
    connect(m_reply, &QNetworkReply::finished, this, &FileDownloader::onDownloadFinished);
    if (m_transferDeadline > 0)
        m_deadline->start(m_transferDeadline);
}

QString FileDownloader::makeTempFileTemplate(const QUrl &url)
{
    QString fileName = QFileInfo(url.path(QUrl::FullyDecoded)).fileName();
    if (fileName.isEmpty())
        fileName = QStringLiteral("download");

    const QFileInfo info(fileName);
    QString suffix = info.suffix();
    if (suffix.isEmpty())
        suffix = QStringLiteral("tmp");

    return QStandardPaths::writableLocation(QStandardPaths::TempLocation) + QLatin1Char('/')
           + info.baseName() + QStringLiteral("_XXXXXX.") + suffix;
}

void FileDownloader::setTransferTimeout(int milliseconds)
{
    m_transferTimeout = milliseconds;
}

int FileDownloader::transferTimeout() const
{
    return m_transferTimeout;
}

void FileDownloader::setTransferDeadline(int milliseconds)
{
    m_transferDeadline = milliseconds;
}

int FileDownloader::transferDeadline() const
{
    return m_transferDeadline;
}

void FileDownloader::setMaxBytes(qint64 bytes)
{
    m_maxBytes = bytes;
}

qint64 FileDownloader::maxBytes() const
{
    return m_maxBytes;
}

void FileDownloader::onDownloadFinished()
{
    if (!m_reply)
        return;
    // Cleared before anything is emitted, so a receiver may start the next
    // download straight away.
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->deleteLater();
    if (m_failure.isEmpty() && nextHop(reply, m_redirects, m_url, &m_failure)) {
        restartFile();
        m_reply = sendGet(m_url, &m_failure);
        if (m_reply) {
            watch(m_reply, this, &m_failure);
            connect(m_reply, &QNetworkReply::finished, this, &FileDownloader::onDownloadFinished);
            return;
        }
    }
    m_deadline->stop();

    // Each failure is reported once, here, when the reply is over.
    QString error;
    if (!m_failure.isEmpty()) {
        error = m_failure;
    } else if (reply->error() != QNetworkReply::NoError) {
        error = QStringLiteral("Network error during asynchronous download: ") + reply->errorString();
    } else if (m_tempFile && m_tempFile->isOpen()) {
        if (completeFile(reply, &error)) {
            emit fileDownloaded(m_tempFile->fileName());
            return;
        }
    } else {
        error = QStringLiteral("Temporary file was not open or valid during asynchronous download finish.");
    }
    discardFile();
    emit downloadFailed(error);
}

void FileDownloader::discardPrevious()
{
    // An abandoned reply must not write into the next download's file.
    if (m_reply) {
        QNetworkReply *reply = m_reply;
        m_reply = nullptr;
        reply->disconnect(this);
        cutOff(reply);
        reply->deleteLater();
    }
    m_deadline->stop();
    discardFile();
}

void FileDownloader::discardFile()
{
    // Deleted at once rather than later, so its file leaves the disk now.
    delete m_tempFile;
    m_tempFile = nullptr;
}

bool FileDownloader::openTempFile(const QUrl &url, QString *errorString)
{
    m_tempFile = new QTemporaryFile(makeTempFileTemplate(url), this);
    if (m_tempFile->open())
        return true;

    const QString error = QStringLiteral("Failed to create temporary file: ") + m_tempFile->errorString();
    emit downloadFailed(error);
    if (errorString)
        *errorString = error;
    delete m_tempFile;
    m_tempFile = nullptr;
    return false;
}

void FileDownloader::setUrlPolicy(const UrlPolicy &policy)
{
    m_policy = policy;
}

// One hop's request, or null with the reason the policy refuses it.
QNetworkReply *FileDownloader::sendGet(const QUrl &url, QString *refusal)
{
    const QString text = url.toString(QUrl::FullyEncoded);
    if (!m_policy.allowed) {
        *refusal = QStringLiteral("Image URLs are turned off on this server.");
        return nullptr;
    }
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        *refusal = QStringLiteral("Only http and https URLs are fetched, not %1").arg(text);
        return nullptr;
    }
    if (!m_policy.prefixes.isEmpty()
        && std::none_of(m_policy.prefixes.begin(), m_policy.prefixes.end(),
                        [&](const QString &prefix) { return text.startsWith(prefix); })) {
        *refusal = QStringLiteral("%1 is not beneath a URL this server fetches from.").arg(text);
        return nullptr;
    }

    QUrl target = url;
    QNetworkRequest request;
    if (m_policy.addressAllowed) {
        const QString host = url.host();
        // A numeric host as the resolver reads it ("2130706433" is 127.0.0.1).
        const std::optional<QHostAddress> numeric = addresspolicy::numericHost(host);
        const QList<QHostAddress> addresses = numeric ? QList<QHostAddress>{*numeric} : QHostInfo::fromName(host).addresses();
        if (addresses.isEmpty()) {
            *refusal = QStringLiteral("The host %1 has no address.").arg(host);
            return nullptr;
        }
        for (const QHostAddress &address : addresses) {
            if (!m_policy.addressAllowed(address)) {
                *refusal = QStringLiteral("%1 leads to %2, an address this server does not fetch from.")
                               .arg(text, address.toString());
                return nullptr;
            }
        }
        // The connection goes to the address just checked; the server still
        // sees its name, and https still verifies the certificate for it.
        target.setHost(addresses.first().toString());
        const int port = url.port();
        request.setRawHeader("Host", (port >= 0 ? QStringLiteral("%1:%2").arg(host).arg(port) : host).toUtf8());
        request.setPeerVerifyName(host);
        // HTTP/2 would name the host from the URL, which now holds the address.
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    }
    request.setUrl(target);
    // Every hop is checked here, so Qt follows none by itself.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(m_transferTimeout);
    QNetworkReply *reply = m_manager->get(request);
    // Qt's network thread otherwise buffers whatever a fast server sends
    // ahead of the file, up to gigabytes before the byte limit is seen.
    reply->setReadBufferSize(READ_BUFFER_BYTES);
    return reply;
}

// After a finished reply: true, with `url` set to the next hop, when it was
// a redirect the policy lets the download follow; false with `failure` set
// when it was one it does not, and false alone when it was no redirect.
bool FileDownloader::nextHop(QNetworkReply *reply, int &redirects, QUrl &url, QString *failure) const
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QUrl location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (status < 300 || status > 399 || location.isEmpty())
        return false;
    if (++redirects > m_policy.maxRedirects) {
        *failure = QStringLiteral("More than %1 redirects.").arg(m_policy.maxRedirects);
        return false;
    }
    const QUrl next = url.resolved(location);
    // As Qt's own default: never from https down to http.
    if (url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0
        && next.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0) {
        *failure = QStringLiteral("A redirect from https to %1 is not followed.").arg(next.toString());
        return false;
    }
    url = next;
    return true;
}

// A redirect's body is not the image: the next hop writes from the start.
void FileDownloader::restartFile()
{
    m_received = 0;
    if (m_tempFile && m_tempFile->isOpen()) {
        m_tempFile->resize(0);
        m_tempFile->seek(0);
    }
}

void FileDownloader::watch(QNetworkReply *reply, QObject *context, QString *failure)
{
    m_received = 0;
    const auto fail = [this, reply, failure](const QString &reason) {
        if (failure->isEmpty()) {
            *failure = reason;
            cutOff(reply);
        }
    };
    connect(reply, &QNetworkReply::metaDataChanged, context, [this, reply, fail] {
        if (!withinDeclaredLength(reply))
            fail(sizeMessage());
    }, Qt::DirectConnection);
    connect(reply, &QNetworkReply::readyRead, context, [this, reply, failure, fail] {
        QString reason;
        // A short write would leave a truncated image behind a success.
        if (failure->isEmpty() && !appendAvailable(reply, &reason))
            fail(reason);
    }, Qt::DirectConnection);
}

void FileDownloader::cutOff(QNetworkReply *reply)
{
    reply->abort();
    // An aborted reply's connection goes on reading whatever the server
    // still sends, in the manager's own thread, and holds up the next
    // download; an endless body would keep it busy for good. Dropping the
    // cached connections closes it.
    m_manager->clearConnectionCache();
}

bool FileDownloader::withinDeclaredLength(QNetworkReply *reply) const
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return m_maxBytes <= 0 || !length.isValid() || length.toLongLong() <= m_maxBytes;
}

bool FileDownloader::appendAvailable(QNetworkReply *reply, QString *failure)
{
    if (!m_tempFile || !m_tempFile->isOpen())
        return true;
    if (!withinDeclaredLength(reply) || (m_maxBytes > 0 && m_received + reply->bytesAvailable() > m_maxBytes)) {
        *failure = sizeMessage();
        return false;
    }
    const QByteArray data = reply->readAll();
    m_received += data.size();
    if (m_tempFile->write(data) == data.size())
        return true;
    *failure = QStringLiteral("Failed to write temporary file: ") + m_tempFile->errorString();
    return false;
}

bool FileDownloader::completeFile(QNetworkReply *reply, QString *failure)
{
    if (!appendAvailable(reply, failure))
        return false;
    // Buffered data reaches the disk only here, so this can fail too.
    if (!m_tempFile->flush()) {
        *failure = QStringLiteral("Failed to write temporary file: ") + m_tempFile->errorString();
        return false;
    }
    m_tempFile->close();
    return true;
}

QString FileDownloader::deadlineMessage() const
{
    return QStringLiteral("Download took longer than %1 seconds.").arg(m_transferDeadline / 1000.0);
}

QString FileDownloader::sizeMessage() const
{
    return QStringLiteral("Download is larger than %1 bytes.").arg(m_maxBytes);
}
