#pragma once

#include <memory>

#include "json.h"

// Releases an engine context the engine's way: managed objects, managed
// memory (which ends every JSON value bound to it), then the context itself.
struct SoapContextRelease
{
    void operator()(struct soap *ctx) const
    {
        soap_destroy(ctx);
        soap_end(ctx);
        soap_free(ctx);
    }
};

// The one owner of an engine context.
using SoapContext = std::unique_ptr<struct soap, SoapContextRelease>;
