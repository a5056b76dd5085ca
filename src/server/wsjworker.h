#pragma once

#include <string>

#include <QThread>

struct soap;
struct value;

// Serves one accepted connection: receives one JSON request, checks its
// path, asks handle_request() for the response and sends it, or a JSON
// error reply. Owns the connection's engine context and frees it when done.
// Threading: everything happens on the worker's own thread.
class WSJWorker : public QThread
{
public:
    WSJWorker(struct soap *context, const std::string &path);
    ~WSJWorker() override;

    // `request` is the parsed body and `response` a null value, both bound to
    // the connection's context. True sends `response` with status 200; false
    // sends the "Wrong method" error reply. May block as long as it needs.
    virtual bool handle_request(value &request, value &response) = 0;

protected:
    void run() override;

    struct soap *m_ctx;
    std::string m_path;

private:
    void serve();
};
