#include "metricsserver.h"

#include <vector>

#include <CivetServer.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include "metrics.h"

namespace {

void reply(mg_connection *connection, int status, const char *type, const std::string &body)
{
    mg_response_header_start(connection, status);
    mg_response_header_add(connection, "Content-Type", type, -1);
    mg_response_header_add(connection, "Content-Length", std::to_string(body.size()).c_str(), -1);
    mg_response_header_send(connection);
    mg_write(connection, body.data(), body.size());
}

class MetricsHandler : public CivetHandler
{
public:
    bool handleGet(CivetServer *, mg_connection *connection) override
    {
        reply(connection, 200, "text/plain; version=0.0.4; charset=utf-8",
              prometheus::TextSerializer().Serialize(metrics::registry().Collect()));
        return true;
    }
};

class HealthHandler : public CivetHandler
{
public:
    explicit HealthHandler(const std::function<bool()> &healthy)
        : m_healthy(healthy)
    {
    }
    bool handleGet(CivetServer *, mg_connection *connection) override
    {
        const bool healthy = m_healthy();
        reply(connection, healthy ? 200 : 503, "application/json; charset=utf-8",
              healthy ? R"({"status":"ok"})" : R"({"status":"unavailable"})");
        return true;
    }

private:
    const std::function<bool()> &m_healthy;
};

} // namespace

struct MetricsServer::Handlers
{
    explicit Handlers(const std::function<bool()> &healthy)
        : health(healthy)
    {
    }
    MetricsHandler metrics;
    HealthHandler health;
};

MetricsServer::MetricsServer(std::function<bool()> healthy)
    : m_healthy(std::move(healthy))
    , m_handlers(std::make_unique<Handlers>(m_healthy))
{
}

MetricsServer::~MetricsServer()
{
    stop();
}

bool MetricsServer::start(const std::string &address, int port, std::string &error)
{
    stop();
    if (port < 1 || port > 65535) {
        error = "the port " + std::to_string(port) + " is not within 1 to 65535";
        return false;
    }
    // Two threads serve a scraper and a health check; nobody else calls.
    const std::vector<std::string> options{
        "listening_ports", (address.empty() ? "" : address + ":") + std::to_string(port),
        "num_threads", "2",
        "request_timeout_ms", "10000",
    };
    try {
        m_server = std::make_unique<CivetServer>(options);
    } catch (const CivetException &e) {
        error = e.what();
        return false;
    }
    m_server->addHandler("/metrics", m_handlers->metrics);
    m_server->addHandler("/health", m_handlers->health);
    return true;
}

void MetricsServer::stop()
{
    if (!m_server)
        return;
    m_server->close();
    m_server.reset();
}
