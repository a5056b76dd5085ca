#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "json.h"
#include "requestmembers.h"
#include "soapcontext.h"

// Any body the server's JSON engine parses, then the request members read
// as the handler reads them: from a const value, each only where present.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const SoapContext ctx(soap_new1(SOAP_C_UTFSTRING));
    value parsed(ctx.get());
    std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
    in >> parsed;

    const value &request = parsed;
    requestmembers::textOf(request);
    requestmembers::numberOf(request);
    if (request.is_struct()) {
        for (const char *name : {"image_path", "image_data", "min", "max"}) {
            if (request.has(name)) {
                requestmembers::textOf(request[name]);
                requestmembers::numberOf(request[name]);
            }
        }
    }
    return 0;
}
