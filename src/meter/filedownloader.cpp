#include "filedownloader.h"

#include <QDebug>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QTemporaryFile>

FileDownloader::FileDownloader(QObject *parent)
    : QObject(parent)
    , m_manager(new QNetworkAccessManager(this))
{
    qRegisterMetaType<QNetworkReply::NetworkError>("QNetworkReply::NetworkError");
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
    QString writeError;
    QEventLoop loop;
    // Tied to the loop, so the captured locals are never used after return.
    connect(reply, &QNetworkReply::readyRead, &loop, [this, reply, &writeError] {
        // A short write would leave a truncated image behind a success.
        if (writeError.isEmpty() && !appendAvailable(reply, &writeError))
            reply->abort();
    }, Qt::DirectConnection);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    // The loop also ends when the application quits: a transfer cut short
    // there is a failure, not a short file.
    if (!reply->isFinished())
        reply->abort();

    bool ok = false;
    QString error;
    if (!writeError.isEmpty()) {
        error = writeError;
    } else if (reply->error() != QNetworkReply::NoError) {
        // The partial file is kept until the next download, like any other.
        error = QStringLiteral("Network error during synchronous download: ") + reply->errorString();
    } else if (m_tempFile && m_tempFile->isOpen()) {
        ok = completeFile(reply, &error);
        if (ok && tempFilePath)
            *tempFilePath = m_tempFile->fileName();
    } else {
        error = QStringLiteral("Temporary file was not open or valid during synchronous download finish.");
    }
    if (!ok && errorString)
        *errorString = error;

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
    m_writeError.clear();
    if (!openTempFile(url, nullptr))
        return;

    m_reply = sendGet(url);
    connect(m_reply, &QNetworkReply::readyRead, this, &FileDownloader::onDownloadReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &FileDownloader::onDownloadFinished);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &FileDownloader::onDownloadError);
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

void FileDownloader::onDownloadReadyRead()
{
    if (!m_reply || !m_writeError.isEmpty())
        return;
    if (!appendAvailable(m_reply, &m_writeError))
        m_reply->abort();   // finishes the reply; onDownloadFinished reports it
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

    if (!m_writeError.isEmpty()) {
        emit downloadFailed(m_writeError);
    } else if (reply->error() != QNetworkReply::NoError) {
        emit downloadFailed(reply->errorString());
    } else if (m_tempFile && m_tempFile->isOpen()) {
        QString error;
        if (completeFile(reply, &error))
            emit fileDownloaded(m_tempFile->fileName());
        else
            emit downloadFailed(error);
    } else {
        emit downloadFailed(QStringLiteral("Temporary file was not open or valid during asynchronous download finish."));
    }
}

void FileDownloader::onDownloadError(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code)
    // A write failure aborts the reply; that is reported once, on finish.
    if (!m_reply || !m_writeError.isEmpty())
        return;
    emit downloadFailed(QStringLiteral("Network error during asynchronous download: ") + m_reply->errorString());
}

void FileDownloader::discardPrevious()
{
    // An abandoned reply must not write into the next download's file.
    if (m_reply) {
        QNetworkReply *reply = m_reply;
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
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
    return m_manager->get(request);
}

bool FileDownloader::appendAvailable(QNetworkReply *reply, QString *writeError)
{
    if (!m_tempFile || !m_tempFile->isOpen())
        return true;
    const QByteArray data = reply->readAll();
    if (m_tempFile->write(data) == data.size())
        return true;
    *writeError = QStringLiteral("Failed to write temporary file: ") + m_tempFile->errorString();
    return false;
}

bool FileDownloader::completeFile(QNetworkReply *reply, QString *writeError)
{
    if (!appendAvailable(reply, writeError))
        return false;
    // Buffered data reaches the disk only here, so this can fail too.
    if (!m_tempFile->flush()) {
        *writeError = QStringLiteral("Failed to write temporary file: ") + m_tempFile->errorString();
        return false;
    }
    m_tempFile->close();
    return true;
}
