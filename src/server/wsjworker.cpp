#include "wsjworker.h"

#include <algorithm>
#include <iostream>

#include <QDebug>
#include <QString>

#include "json.h"

namespace {

const char *const JSON_CONTENT = "application/json; charset=utf-8";

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

} // namespace

WSJWorker::WSJWorker(struct soap *context, const std::string &path)
    : m_ctx(context)
    , m_path(path)
{
}

WSJWorker::~WSJWorker() = default;

void WSJWorker::run()
{
    // Nothing may escape the thread function; the connection is closed and
    // freed on every path.
    try {
        serve();
    } catch (const std::exception &e) {
        qCritical() << "request worker failed:" << e.what();
    } catch (...) {
        qCritical() << "request worker failed";
    }
    soap_closesock(m_ctx);
    soap_destroy(m_ctx);
    soap_end(m_ctx);
    soap_free(m_ctx);
    m_ctx = nullptr;
}

void WSJWorker::serve()
{
    value request(m_ctx);
    BodyLimit limit;
    if (soap_begin_recv(m_ctx) || (limit.install(m_ctx), json_recv(m_ctx, request)) || soap_end_recv(m_ctx)) {
        qDebug() << "receive json request failed.";
        // An empty body is the end of the input, like any other.
        if (m_ctx->error == SOAP_NO_DATA)
            m_ctx->error = SOAP_EOF;
        json_send_fault(m_ctx);
        return;
    }

    const char *receivedPath = m_ctx->path;
    std::cout << "m_ctx->path:" << receivedPath << std::endl;

    if (m_path != receivedPath) {
        qDebug() << QString(QStringLiteral("request path  %1 error.")).arg(QString::fromUtf8(receivedPath));
        json_send_error(m_ctx, 400, "Wrong Path", static_cast<char *>(request));
        return;
    }

    value response(m_ctx);
    if (!handle_request(request, response)) {
        json_send_error(m_ctx, 400, "Wrong method", static_cast<char *>(request));
        return;
    }

    m_ctx->http_content = JSON_CONTENT;
    if (soap_response(m_ctx, SOAP_FILE) || json_send(m_ctx, response) || soap_end_send(m_ctx))
        soap_print_fault(m_ctx, stderr);
    else
        qDebug() << "Send response successfully.";
}
