#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

// The width and height an image file declares, read from its header without
// decoding a pixel, so that a request's image can be judged before OpenCV
// allocates for it. It knows the formats this system's OpenCV (4.6, Debian)
// decodes: PNG, JPEG, BMP, TIFF and BigTIFF, WebP, PNM (P1-P6), PAM (P7),
// PFM, Sun raster, Radiance HDR and JPEG 2000 (JP2 and raw J2K). A header is
// read the way that format's decoder reads it, and a file is claimed by the
// first format whose signature matches, in OpenCV's order.
//
// The limits: an image may be at most MAX_SIDE pixels wide and high, and
// hold at most MAX_PIXELS pixels. Those bound what one request's decoding
// can cost (100 megapixels decode to 300 MB of BGR pixels).
namespace imageheader {

constexpr std::int64_t MAX_SIDE = 20000;
constexpr std::int64_t MAX_PIXELS = 100000000;

struct ImageSize
{
    std::int64_t width = 0;
    std::int64_t height = 0;
};

// Copies up to `length` bytes from `offset` into `buffer` and returns how
// many it copied: fewer only at the end of the data, or on a read error.
using ReadAt = std::function<std::size_t(std::uint64_t offset, char *buffer, std::size_t length)>;

// The declared size of the image in data of `size` bytes read through
// `read`; empty when the data does not start like one of the formats or its
// header cannot be read. Reads only the header's bytes, wherever they are,
// and never holds more than a small buffer of them.
std::optional<ImageSize> readSize(const ReadAt &read, std::uint64_t size);

std::optional<ImageSize> readSize(const char *data, std::size_t size);

bool isWithinLimits(const ImageSize &size);

} // namespace imageheader
