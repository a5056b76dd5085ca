#include "metrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

namespace metrics {

namespace {

// From a cached read on a small dial to a slow download; the engine alone
// takes about 20 ms on two cores.
prometheus::Histogram::BucketBoundaries secondsBuckets()
{
    return {0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 30, 60};
}

struct Families
{
    std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
    prometheus::Family<prometheus::Counter> &requests = prometheus::BuildCounter()
        .Name("dialvane_requests_total")
        .Help("Requests by how they ended: read, refused (by kind) or an HTTP error status")
        .Register(*registry);
    prometheus::Family<prometheus::Histogram> &seconds = prometheus::BuildHistogram()
        .Name("dialvane_seconds")
        .Help("Time per request: waiting in the queue, in the engine, and from receipt to reply")
        .Register(*registry);
    prometheus::Histogram &queueWait = seconds.Add({{"stage", "queue"}}, secondsBuckets());
    prometheus::Histogram &engine = seconds.Add({{"stage", "engine"}}, secondsBuckets());
    prometheus::Histogram &request = seconds.Add({{"stage", "request"}}, secondsBuckets());
    prometheus::Gauge &queueDepth = prometheus::BuildGauge()
        .Name("dialvane_queue_depth")
        .Help("Requests waiting for the handler")
        .Register(*registry)
        .Add({});
    prometheus::Gauge &connections = prometheus::BuildGauge()
        .Name("dialvane_connections")
        .Help("Connections being served")
        .Register(*registry)
        .Add({});
    prometheus::Family<prometheus::Counter> &downloads = prometheus::BuildCounter()
        .Name("dialvane_downloads_total")
        .Help("Image downloads by result")
        .Register(*registry);
    prometheus::Counter &downloaded = downloads.Add({{"result", "ok"}});
    prometheus::Counter &downloadFailed = downloads.Add({{"result", "failed"}});
    prometheus::Family<prometheus::Gauge> &info = prometheus::BuildGauge()
        .Name("dialvane_build_info")
        .Help("Always 1; the labels name the version and the models' sha256")
        .Register(*registry);
};

Families &families()
{
    static Families instance;
    return instance;
}

} // namespace

prometheus::Registry &registry()
{
    return *families().registry;
}

void countRequest(const std::string &outcome, const std::string &kind)
{
    prometheus::Labels labels{{"outcome", outcome}};
    if (!kind.empty())
        labels.emplace("kind", kind);
    families().requests.Add(labels).Increment();
}

void observeQueueWait(double seconds)
{
    families().queueWait.Observe(seconds);
}

void observeEngine(double seconds)
{
    families().engine.Observe(seconds);
}

void observeRequest(double seconds)
{
    families().request.Observe(seconds);
}

void setQueueDepth(int items)
{
    families().queueDepth.Set(items);
}

void connectionOpened()
{
    families().connections.Increment();
}

void connectionClosed()
{
    families().connections.Decrement();
}

void countDownload(bool failed)
{
    (failed ? families().downloadFailed : families().downloaded).Increment();
}

void setBuildInfo(const std::string &version, const std::string &dialSha256, const std::string &needleSha256)
{
    families().info.Add({{"version", version}, {"dial_model_sha256", dialSha256}, {"needle_model_sha256", needleSha256}})
        .Set(1);
}

} // namespace metrics
