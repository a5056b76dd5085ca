#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include <QByteArray>

#include "base64.h"
#include "check.h"

// image_data's decoder on any text, and back from every encoding of any bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Borrowed, as the handler passes a request's text.
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    for (const bool removeLineFeeds : {false, true}) {
        try {
            const QByteArray decoded = base64Decode(bytes, removeLineFeeds);
            check(decoded.size() <= (bytes.size() + 3) / 4 * 3, "four characters make at most three bytes");
        } catch (const std::invalid_argument &) {
            // Malformed text: the handler answers it as such.
        }
    }

    using Option = QByteArray::Base64Option;
    for (const auto alphabet : {Option::Base64Encoding, Option::Base64UrlEncoding}) {
        for (const auto padding : {Option::KeepTrailingEquals, Option::OmitTrailingEquals}) {
            const QByteArray encoded = bytes.toBase64(alphabet | padding);
            check(base64Decode(encoded) == bytes, "decoding undoes encoding");
        }
    }
    return 0;
}
