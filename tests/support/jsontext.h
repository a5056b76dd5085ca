#pragma once

#include <sstream>
#include <string>

#include "json.h"

// An engine context for building and printing JSON values in tests; the
// values' nodes live in its memory and go with it.
class JsonContext
{
public:
    JsonContext()
        : m_ctx(soap_new1(SOAP_C_UTFSTRING))
    {
    }
    ~JsonContext()
    {
        soap_destroy(m_ctx);
        soap_end(m_ctx);
        soap_free(m_ctx);
    }
    JsonContext(const JsonContext &) = delete;
    JsonContext &operator=(const JsonContext &) = delete;

    struct soap *get() const { return m_ctx; }

    value parse(const std::string &text) const
    {
        value v(m_ctx);
        std::istringstream in(text);
        in >> v;
        return v;
    }

    static std::string text(const value &v)
    {
        std::ostringstream out;
        out << v;
        return out.str();
    }

private:
    struct soap *m_ctx;
};
