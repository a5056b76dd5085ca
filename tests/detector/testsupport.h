#pragma once

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

inline std::string fixturePath(const std::string &name)
{
    return std::string(DIALVANE_FIXTURE_DIR) + "/" + name;
}

inline std::wstring wide(const std::string &narrow)
{
    return std::wstring(narrow.begin(), narrow.end());
}

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Routes the spdlog default logger into a string for the test's lifetime.
class LogCapture
{
public:
    LogCapture()
        : m_previous(spdlog::default_logger())
    {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(m_text);
        auto logger = std::make_shared<spdlog::logger>("capture", sink);
        logger->set_pattern("[%l] [%!] %v");
        spdlog::set_default_logger(logger);
    }
    ~LogCapture() { spdlog::set_default_logger(m_previous); }

    std::string text() const { return m_text.str(); }

private:
    std::ostringstream m_text;
    std::shared_ptr<spdlog::logger> m_previous;
};
