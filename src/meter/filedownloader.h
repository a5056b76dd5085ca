#pragma once

#include <functional>

#include <QHostAddress>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

class QNetworkAccessManager;
class QTemporaryFile;
class QTimer;

// What a download may fetch. By default any http or https URL, through as
// many redirects as Qt itself follows.
struct UrlPolicy
{
    bool allowed = true;        // false: every URL is refused
    QStringList prefixes;       // when not empty, every hop's URL starts with one of these
    int maxRedirects = 50;
    // When set, each hop's host is resolved here and every address it has
    // must pass; the connection then goes to the address that was checked,
    // never to a second lookup that a DNS answer could change.
    std::function<bool(const QHostAddress &)> addressAllowed;
};

// Fetches an http or https resource into a temporary file, so that an image
// named by a URL can be read like a local one. The file stays on disk until
// the next download starts or the downloader is destroyed; a failed
// download's file is removed at once.
// Threading: lives on its owner's thread and is used only from there, one
// download at a time.
class FileDownloader : public QObject
{
    Q_OBJECT

public:
    // A transfer that moves no data for this long is given up, so that a
    // server which never answers cannot block the caller for good.
    static constexpr int DEFAULT_TRANSFER_TIMEOUT_MS = 60000;
    // The whole transfer's deadline, however steadily the data comes: a
    // server that trickles its bytes must not hold the caller, and every
    // request queued behind it, for as long as it likes.
    static constexpr int MAX_TRANSFER_MS = 60000;
    // The most bytes a download may bring. A larger Content-Length is
    // refused as soon as the headers arrive; a body that grows past it is
    // cut off there.
    static constexpr qint64 MAX_DOWNLOAD_BYTES = 134217728;   // 128 MiB

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

    void setUrlPolicy(const UrlPolicy &policy);

    // Milliseconds without data; 0 removes the limit.
    void setTransferTimeout(int milliseconds);
    int transferTimeout() const;

    // Milliseconds for the whole transfer; 0 removes the limit.
    void setTransferDeadline(int milliseconds);
    int transferDeadline() const;

    // Bytes; 0 removes the limit.
    void setMaxBytes(qint64 bytes);
    qint64 maxBytes() const;

signals:
    void fileDownloaded(const QString &tempFilePath);
    void downloadFailed(const QString &errorString);

public slots:
    void onDownloadFinished();

private:
    void discardPrevious();
    void discardFile();
    bool openTempFile(const QUrl &url, QString *errorString);
    QNetworkReply *sendGet(const QUrl &url, QString *refusal);
    bool nextHop(QNetworkReply *reply, int &redirects, QUrl &url, QString *failure) const;
    void restartFile();
    void watch(QNetworkReply *reply, QObject *context, QString *failure);
    void cutOff(QNetworkReply *reply);
    bool withinDeclaredLength(QNetworkReply *reply) const;
    bool appendAvailable(QNetworkReply *reply, QString *failure);
    bool completeFile(QNetworkReply *reply, QString *failure);
    QString deadlineMessage() const;
    QString sizeMessage() const;

    static constexpr qint64 READ_BUFFER_BYTES = 1 << 20;

    QNetworkAccessManager *m_manager;
    QTimer *m_deadline;                     // of the asynchronous download
    QPointer<QNetworkReply> m_reply;        // of the asynchronous download only
    QTemporaryFile *m_tempFile = nullptr;   // child; removes its file when destroyed
    int m_transferTimeout = DEFAULT_TRANSFER_TIMEOUT_MS;
    int m_transferDeadline = MAX_TRANSFER_MS;
    qint64 m_maxBytes = MAX_DOWNLOAD_BYTES;
    qint64 m_received = 0;                  // of the download in progress
    QString m_failure;                      // of the asynchronous download
    QUrl m_url;                             // of the asynchronous download's present hop
    int m_redirects = 0;                    // of the asynchronous download
    UrlPolicy m_policy;
};
