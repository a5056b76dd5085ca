#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include <QElapsedTimer>
#include <QThread>

#include "soapcontext.h"

struct value;

// Serves one accepted connection: receives one JSON request, checks its
// path, asks handle_request() for the response and sends it, or a JSON
// error reply. Owns the connection's engine context and frees it when done.
// Threading: everything happens on the worker's own thread, except
// interrupt(), which any thread may call.
class WSJWorker : public QThread
{
public:
    // Larger bodies are refused with HTTP 413 before they are read.
    static constexpr uint64_t MAX_BODY_BYTES = 128ull << 20;

    WSJWorker(struct soap *context, const std::string &path);
    ~WSJWorker() override;

    // `request` is the parsed body and `response` a null value, both bound to
    // the connection's context. True sends `response` with status 200; false
    // sends the "Wrong method" error reply. May block as long as it needs.
    virtual bool handle_request(value &request, value &response) = 0;

    // How long, from the accept, the request line and headers may take to
    // arrive, in the engine's timeout units (seconds when positive, 0 for no
    // limit, microseconds when negative). Past it the client gets HTTP 408.
    void setHeaderTimeOut(int timeOut);

    // When not empty, a request must carry "Authorization: Bearer <key>" or
    // is answered 401 before its body is read.
    void setApiKey(const std::string &key);

    // Breaks whatever the connection is blocked in: receiving only, so that a
    // reply on its way still leaves, or sending too.
    void interrupt(bool sending);

protected:
    void run() override;

    SoapContext m_ctx;
    std::string m_path;

private:
    void serve();
    void refuse(int status, const char *message, const std::string &details, bool drain = true);

    int m_headerTimeOut = 0;
    std::string m_apiKey;
    QElapsedTimer m_sinceAccept;
    std::mutex m_socketLock;   // the socket is shut down by others only while it is open
    int m_socket;
};
