#pragma once

#include <sstream>
#include <string>

#include "json.h"
#include "soapcontext.h"

// An engine context for building and printing JSON values in tests; the
// values' nodes live in its memory and go with it.
class JsonContext
{
public:
    JsonContext()
        : m_ctx(soap_new1(SOAP_C_UTFSTRING))
    {
    }

    struct soap *get() const { return m_ctx.get(); }

    value parse(const std::string &text) const
    {
        value v(m_ctx.get());
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
    SoapContext m_ctx;
};
