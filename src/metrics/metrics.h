#pragma once

#include <string>

namespace prometheus {
class Registry;
}

// The service's counters, gauges and histograms, in one process-wide
// registry that /metrics exposes. Recording is cheap and never fails, so
// every layer records where the event happens.
// Threading: any thread.
namespace metrics {

prometheus::Registry &registry();

// A request's end: "read", "refused" with the refusal's kind, or the HTTP
// status the listener answered with instead ("400", "401", "408", "413", "503").
void countRequest(const std::string &outcome, const std::string &kind = {});

void observeQueueWait(double seconds);
void observeEngine(double seconds);
void observeRequest(double seconds);

void setQueueDepth(int items);
void connectionOpened();
void connectionClosed();

void countDownload(bool failed);

// An info metric: the version and the sha256 of each model file.
void setBuildInfo(const std::string &version, const std::string &dialSha256, const std::string &needleSha256);

} // namespace metrics
