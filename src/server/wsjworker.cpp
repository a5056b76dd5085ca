#include "wsjworker.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iostream>

#include <QDebug>
#include <QDeadlineTimer>
#include <QString>

#include "json.h"
#include "metrics.h"

namespace {

const char *const JSON_CONTENT = "application/json; charset=utf-8";

// How long a refused body is still read and dropped, so that a client busy
// sending it sees the reply instead of a reset connection.
const int DRAIN_MS = 2000;

// Ends the body at its Content-Length (at what came with the headers when
// there is none). The engine reads on until the peer closes, so a body whose
// last token needs a look past it (a bare number, true, false, null) or an
// empty one would otherwise wait for the receive timeout.
struct BodyLimit
{
    size_t (*next)(struct soap *, char *, size_t) = nullptr;
    ULONG64 left = 0;

    void install(struct soap *ctx)
    {
        if ((ctx->imode & SOAP_IO) == SOAP_IO_CHUNK)
            return;
        const size_t buffered = ctx->buflen - ctx->bufidx;
        left = ctx->length > buffered ? ctx->length - buffered : 0;
        next = ctx->frecv;
        ctx->user = this;
        ctx->frecv = &BodyLimit::recv;
    }

    static size_t recv(struct soap *ctx, char *buffer, size_t size)
    {
        auto *self = static_cast<BodyLimit *>(ctx->user);
        if (self->left == 0)
            return 0;
        const size_t got = self->next(ctx, buffer, static_cast<size_t>(std::min<ULONG64>(size, self->left)));
        self->left -= got;
        return got;
    }
};

// Cuts the request line and headers off at a deadline. The engine's receive
// timeout restarts with every byte, so a client trickling its headers, or
// sending nothing, would otherwise hold its worker for as long as it likes.
struct HeaderDeadline
{
    size_t (*next)(struct soap *, char *, size_t) = nullptr;
    void *nextUser = nullptr;
    QDeadlineTimer deadline;
    bool expired = false;

    void install(struct soap *ctx, qint64 remainingMs)
    {
        deadline = QDeadlineTimer(std::max<qint64>(remainingMs, 0));
        next = ctx->frecv;
        nextUser = ctx->user;
        ctx->user = this;
        ctx->frecv = &HeaderDeadline::recv;
    }

    void remove(struct soap *ctx)
    {
        ctx->frecv = next;
        ctx->user = nextUser;
    }

    static size_t recv(struct soap *ctx, char *buffer, size_t size)
    {
        auto *self = static_cast<HeaderDeadline *>(ctx->user);
        pollfd readable{ctx->socket, POLLIN, 0};
        int ready = 0;
        do
            ready = ::poll(&readable, 1, static_cast<int>(self->deadline.remainingTime()));
        while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            self->expired = true;
            return 0;
        }
        ctx->user = self->nextUser;
        const size_t got = self->next(ctx, buffer, size);
        ctx->user = self;
        return got;
    }
};

// Milliseconds in the engine's timeout units; negative for no limit.
qint64 timeOutMs(int timeOut)
{
    if (timeOut > 0)
        return qint64(timeOut) * 1000;
    if (timeOut < 0)
        return std::max<qint64>(-qint64(timeOut) / 1000, 1);
    return -1;
}

// The time taken depends on the key's length only, not on where the texts
// differ, so that a client cannot find the key a byte at a time.
bool sameKey(const char *given, const std::string &key)
{
    const size_t length = given ? std::strlen(given) : 0;
    unsigned char differs = length != key.size();
    for (size_t i = 0; i < key.size(); ++i)
        differs |= static_cast<unsigned char>(key[i] ^ (i < length ? given[i] : 0));
    return differs == 0;
}

// JSON has no NaN or infinity; a reply holding one would not parse.
bool allFinite(value &v)
{
    if (v.is_double())
        return std::isfinite(static_cast<double>(v));
    if (v.is_struct() || v.is_array()) {
        for (value::iterator i = v.begin(); i != v.end(); ++i)
            if (!allFinite(*i))
                return false;
    }
    return true;
}

} // namespace

WSJWorker::WSJWorker(struct soap *context, const std::string &path)
    : m_ctx(context)
    , m_path(path)
    , m_socket(context->socket)
{
    m_sinceAccept.start();
}

WSJWorker::~WSJWorker() = default;

void WSJWorker::setHeaderTimeOut(int timeOut)
{
    m_headerTimeOut = timeOut;
}

void WSJWorker::setApiKey(const std::string &key)
{
    m_apiKey = key;
}

void WSJWorker::interrupt(bool sending)
{
    const std::lock_guard<std::mutex> hold(m_socketLock);
    if (m_socket >= 0)
        ::shutdown(m_socket, sending ? SHUT_RDWR : SHUT_RD);
}

void WSJWorker::run()
{
    // Nothing may escape the thread function; the connection is closed and
    // freed on every path.
    metrics::connectionOpened();
    try {
        serve();
    } catch (const std::exception &e) {
        qCritical() << "request worker failed:" << e.what();
    } catch (...) {
        qCritical() << "request worker failed";
    }
    {
        const std::lock_guard<std::mutex> hold(m_socketLock);
        m_socket = -1;
        soap_closesock(m_ctx.get());
    }
    m_ctx.reset();
    metrics::connectionClosed();
}

void WSJWorker::serve()
{
    struct soap *ctx = m_ctx.get();
    value request(ctx);
    const qint64 headerMs = timeOutMs(m_headerTimeOut);
    HeaderDeadline headerDeadline;
    if (headerMs >= 0)
        headerDeadline.install(ctx, headerMs - m_sinceAccept.elapsed());
    const bool headers = soap_begin_recv(ctx) == SOAP_OK;
    if (headerMs >= 0)
        headerDeadline.remove(ctx);
    if (headerDeadline.expired) {
        qWarning() << "a request's headers did not arrive in time; answered 408";
        const double seconds = static_cast<double>(headerMs) / 1000.0;
        // Nothing to drain: the client has not even finished its headers.
        refuse(408, "Request Timeout",
               "the request line and headers must arrive within " + QString::number(seconds).toStdString() + " s",
               false);
        return;
    }
    if (headers && !m_apiKey.empty() && !sameKey(ctx->bearer, m_apiKey)) {
        qWarning() << "a request without the API key; answered 401";
        ctx->http_extra_header = "WWW-Authenticate: Bearer";
        refuse(401, "Unauthorized", "the request needs the header Authorization: Bearer <key>");
        return;
    }
    if (headers && ctx->length > MAX_BODY_BYTES) {
        qWarning() << "request body over" << MAX_BODY_BYTES << "bytes refused";
        refuse(413, "Request body too large", "at most " + std::to_string(MAX_BODY_BYTES) + " bytes");
        return;
    }
    BodyLimit limit;
    if (!headers || (limit.install(ctx), json_recv(ctx, request)) || soap_end_recv(ctx)) {
        qDebug() << "receive json request failed.";
        // An empty body is the end of the input, like any other.
        if (ctx->error == SOAP_NO_DATA)
            ctx->error = SOAP_EOF;
        json_send_fault(ctx);
        metrics::countRequest("500");
        return;
    }

    const char *receivedPath = ctx->path;
    std::cout << "m_ctx->path:" << receivedPath << std::endl;

    if (m_path != receivedPath) {
        qDebug() << QString(QStringLiteral("request path  %1 error.")).arg(QString::fromUtf8(receivedPath));
        json_send_error(ctx, 400, "Wrong Path", static_cast<char *>(request));
        metrics::countRequest("400");
        return;
    }

    value response(ctx);
    if (!handle_request(request, response)) {
        json_send_error(ctx, 400, "Wrong method", static_cast<char *>(request));
        metrics::countRequest("400");
        return;
    }
    if (!allFinite(response)) {
        qCritical() << "a reply held a number that is not finite; it was replaced";
        response = value(ctx);
        response["error"] = "The reply held a number that is not finite.";
    }

    ctx->http_content = JSON_CONTENT;
    if (soap_response(ctx, SOAP_FILE) || json_send(ctx, response) || soap_end_send(ctx))
        soap_print_fault(ctx, stderr);
    else if (response.has("error") && *static_cast<const char *>(response["error"]))
        qDebug() << "Sent the refusal.";
    else
        qDebug() << "Send response successfully.";
}

// An error reply in the shape of the engine's own, sent before the body is
// read. The body is never buffered: with `drain`, what the client still
// sends is read and dropped for a while, so that it can read the reply.
void WSJWorker::refuse(int status, const char *message, const std::string &details, bool drain)
{
    struct soap *ctx = m_ctx.get();
    metrics::countRequest(std::to_string(status));
    ctx->error = SOAP_OK;
    value reply(ctx);
    reply["error"]["code"] = status;
    reply["error"]["message"] = message;
    reply["error"]["errors"][0]["message"] = details;
    ctx->keep_alive = 0;
    ctx->http_content = JSON_CONTENT;
    if (soap_response(ctx, SOAP_FILE + status) || json_send(ctx, reply) || soap_end_send(ctx)) {
        soap_print_fault(ctx, stderr);
        return;
    }
    if (!drain)
        return;
    ::shutdown(m_socket, SHUT_WR);
    const QDeadlineTimer deadline(DRAIN_MS);
    char scratch[65536];
    pollfd readable{m_socket, POLLIN, 0};
    while (!deadline.hasExpired()) {
        if (::poll(&readable, 1, static_cast<int>(deadline.remainingTime())) <= 0)
            break;
        if (::recv(m_socket, scratch, sizeof scratch, 0) <= 0)
            break;
    }
}
