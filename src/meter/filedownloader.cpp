#include "filedownloader.h"

#include <QDebug>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>

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

    QNetworkReply *reply = sendGet(url);
    QString failure;
    QEventLoop loop;
    // Tied to the loop, so the captured locals are never used after return.
    watch(reply, &loop, &failure);
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, [this, reply, &failure] {
        if (failure.isEmpty()) {
            failure = deadlineMessage();
            cutOff(reply);
        }
    });
    if (m_transferDeadline > 0)
        deadline.start(m_transferDeadline);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    // The loop also ends when the application quits: a transfer cut short
    // there is a failure, not a short file.
    if (!reply->isFinished())
        cutOff(reply);

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

    m_reply = sendGet(url);
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
    m_deadline->stop();
    reply->deleteLater();

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

QNetworkReply *FileDownloader::sendGet(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(m_transferTimeout);
    QNetworkReply *reply = m_manager->get(request);
    // Qt's network thread otherwise buffers whatever a fast server sends
    // ahead of the file, up to gigabytes before the byte limit is seen.
    reply->setReadBufferSize(READ_BUFFER_BYTES);
    return reply;
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
