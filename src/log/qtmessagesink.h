#pragma once

#include <mutex>

#include <spdlog/sinks/base_sink.h>

// Hands spdlog's messages (the detection engine logs through spdlog, as it
// has no Qt) to Qt's message handler, so that model-load and inference
// failures reach the daily log and the window like every other line.
// Threading: any thread; the sink's mutex orders the calls.
class QtMessageSink : public spdlog::sinks::base_sink<std::mutex>
{
public:
    // Makes the process's default spdlog logger write through this sink only.
    static void makeDefault();

protected:
    void sink_it_(const spdlog::details::log_msg &message) override;
    void flush_() override {}
};
