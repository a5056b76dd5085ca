#include <cstddef>
#include <cstdint>
#include <cstring>

#include "check.h"
#include "imageheader.h"

// The header reader on a request's image bytes, as imagefile::decode calls it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    const auto declared = imageheader::readSize(bytes, size);
    if (declared) {
        check(declared->width > 0 && declared->height > 0, "a declared size is positive");
        imageheader::isWithinLimits(*declared);
    }

    // The same bytes through a reader that refuses to be asked for anything
    // outside them: the file reader trusts the header reader on that.
    const imageheader::ReadAt strict = [&](std::uint64_t offset, char *buffer, std::size_t length) -> std::size_t {
        check(offset <= size && length <= size - offset, "reads stay within the data");
        std::memcpy(buffer, bytes + offset, length);
        return length;
    };
    const auto again = imageheader::readSize(strict, size);
    check(again.has_value() == declared.has_value()
              && (!again || (again->width == declared->width && again->height == declared->height)),
          "either reader gives the same size");
    return 0;
}
