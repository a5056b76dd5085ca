#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QTemporaryFile;

// Fetches an http or https resource into a temporary file, so that an image
// named by a URL can be read like a local one. The file stays on disk until
// the next download starts or the downloader is destroyed.
// Threading: lives on its owner's thread and is used only from there, one
// download at a time.
class FileDownloader : public QObject
{
    Q_OBJECT

public:
    // A transfer that moves no data for this long is given up, so that a
    // server which never answers cannot block the caller for good.
    static constexpr int DEFAULT_TRANSFER_TIMEOUT_MS = 60000;

    explicit FileDownloader(QObject *parent);

    // Blocks until the transfer is over; the calling thread keeps processing
    // its events meanwhile. On true the file's path goes to tempFilePath, on
    // false the reason to errorString; either may be null.
    bool downloadSync(const QUrl &url, QString *tempFilePath, QString *errorString);

    // Answers with fileDownloaded or downloadFailed. Abandons a download that
    // is still running.
    void startDownload(const QUrl &url);

    // "<temp location>/<base>_XXXXXX.<suffix>" after the URL's file name.
    static QString makeTempFileTemplate(const QUrl &url);

    // Milliseconds; 0 removes the limit.
    void setTransferTimeout(int milliseconds);
    int transferTimeout() const;

signals:
    void fileDownloaded(const QString &tempFilePath);
    void downloadFailed(const QString &errorString);

public slots:
    void onDownloadReadyRead();
    void onDownloadFinished();
    void onDownloadError(QNetworkReply::NetworkError code);

private:
    void discardPrevious();
    bool openTempFile(const QUrl &url, QString *errorString);
    QNetworkReply *sendGet(const QUrl &url);
    bool appendAvailable(QNetworkReply *reply, QString *writeError);
    bool completeFile(QNetworkReply *reply, QString *writeError);

    QNetworkAccessManager *m_manager;
    QPointer<QNetworkReply> m_reply;        // of the asynchronous download only
    QTemporaryFile *m_tempFile = nullptr;   // child; removes its file when destroyed
    int m_transferTimeout = DEFAULT_TRANSFER_TIMEOUT_MS;
    QString m_writeError;                   // of the asynchronous download
};
