#include "imageheader.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string>

namespace imageheader {
namespace {

// Random access to the data through a small window, so that headers read
// in many small pieces (JPEG segments, text headers) cost one read of the
// data per window rather than one per piece.
class Source
{
public:
    Source(const ReadAt &read, std::uint64_t size)
        : m_read(read)
        , m_size(size)
    {
    }

    std::uint64_t size() const { return m_size; }

    // Exactly `length` bytes at `offset`, or false.
    bool read(std::uint64_t offset, void *buffer, std::size_t length)
    {
        if (offset > m_size || length > m_size - offset)
            return false;
        if (length > m_window.size())
            return m_read(offset, static_cast<char *>(buffer), length) == length;
        if (offset < m_windowStart || offset + length > m_windowStart + m_windowLength) {
            m_windowStart = offset;
            m_windowLength = m_read(offset, m_window.data(),
                                    static_cast<std::size_t>(std::min<std::uint64_t>(m_window.size(), m_size - offset)));
            if (m_windowLength < length)
                return false;
        }
        std::memcpy(buffer, m_window.data() + (offset - m_windowStart), length);
        return true;
    }

    // The byte at `offset`, or -1 past the end.
    int byteAt(std::uint64_t offset)
    {
        unsigned char byte = 0;
        return read(offset, &byte, 1) ? byte : -1;
    }

private:
    const ReadAt &m_read;
    std::uint64_t m_size;
    std::array<char, 4096> m_window{};
    std::uint64_t m_windowStart = 0;
    std::size_t m_windowLength = 0;
};

// Reads on from a position, as the decoders' byte streams do.
class Cursor
{
public:
    Cursor(Source &source, std::uint64_t position)
        : m_source(source)
        , m_position(position)
    {
    }

    int get() { return m_source.byteAt(m_position++); }
    std::uint64_t position() const { return m_position; }
    void seek(std::uint64_t position) { m_position = position; }

private:
    Source &m_source;
    std::uint64_t m_position;
};

using Bytes = const unsigned char *;

std::uint32_t be16(Bytes p) { return static_cast<std::uint32_t>(p[0] << 8 | p[1]); }
std::uint32_t le16(Bytes p) { return static_cast<std::uint32_t>(p[1] << 8 | p[0]); }
std::uint32_t be32(Bytes p) { return be16(p) << 16 | be16(p + 2); }
std::uint32_t le24(Bytes p) { return static_cast<std::uint32_t>(p[2]) << 16 | le16(p); }
std::uint32_t le32(Bytes p) { return le16(p + 2) << 16 | le16(p); }
std::uint64_t be64(Bytes p) { return std::uint64_t{be32(p)} << 32 | be32(p + 4); }
std::uint64_t le64(Bytes p) { return std::uint64_t{le32(p + 4)} << 32 | le32(p); }
std::int64_t signed32(std::uint32_t v) { return static_cast<std::int32_t>(v); }

bool isSpace(int c) { return c >= 0 && std::isspace(c); }
bool isDigit(int c) { return c >= '0' && c <= '9'; }

// Digits beyond this saturate: every such value is over the limits anyway.
constexpr std::int64_t SATURATED = std::int64_t{1} << 40;

std::int64_t appendDigit(std::int64_t value, int digit) { return std::min(SATURATED, value * 10 + (digit - '0')); }

// A decimal number at the start of `text` the way atoi and sscanf's %d read
// it: leading white space, a sign, then digits; empty without digits.
std::optional<std::int64_t> leadingNumber(const std::string &text, std::size_t *end = nullptr)
{
    std::size_t i = 0;
    while (i < text.size() && isSpace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i >= text.size() || !isDigit(text[i]))
        return std::nullopt;
    std::int64_t value = 0;
    while (i < text.size() && isDigit(text[i]))
        value = appendDigit(value, text[i++]);
    if (end)
        *end = i;
    return negative ? -value : value;
}

std::optional<ImageSize> sizeOf(std::int64_t width, std::int64_t height)
{
    if (width <= 0 || height <= 0)
        return std::nullopt;
    return ImageSize{width, height};
}

bool startsWith(Bytes head, std::size_t length, const char *signature, std::size_t signatureLength)
{
    return length >= signatureLength && std::memcmp(head, signature, signatureLength) == 0;
}

std::optional<ImageSize> readBmp(Source &source)
{
    unsigned char h[26];
    if (!source.read(0, h, 22))
        return std::nullopt;
    const std::int64_t headerSize = signed32(le32(h + 14));
    if (headerSize >= 36) {
        if (!source.read(22, h + 22, 4))
            return std::nullopt;
        const std::int64_t height = signed32(le32(h + 22));
        return sizeOf(signed32(le32(h + 18)), height < 0 ? -height : height);
    }
    if (headerSize == 12)
        return sizeOf(le16(h + 18), le16(h + 20));
    return std::nullopt;
}

// One line as fgets with a 128-byte buffer returns it; false at the end.
bool getLine(Cursor &cursor, std::string &line)
{
    line.clear();
    while (line.size() < 127) {
        const int c = cursor.get();
        if (c < 0)
            break;
        line.push_back(static_cast<char>(c));
        if (c == '\n')
            break;
    }
    return !line.empty();
}

// Radiance RGBE: lines up to a blank one, then "-Y height +X width".
std::optional<ImageSize> readHdr(Source &source)
{
    Cursor cursor(source, 0);
    std::string line;
    if (!getLine(cursor, line))
        return std::nullopt;
    bool hasFormat = false;
    for (;;) {
        if (!getLine(cursor, line))
            return std::nullopt;
        if (line[0] == '\n')
            break;
        if (line == "FORMAT=32-bit_rle_rgbe\n")
            hasFormat = true;
    }
    if (!hasFormat || !getLine(cursor, line))
        return std::nullopt;
    // sscanf "-Y %d +X %d": a blank in the pattern matches any white space.
    std::size_t i = 0;
    const auto literal = [&](char c) {
        if (i < line.size() && line[i] == c) {
            ++i;
            return true;
        }
        return false;
    };
    const auto blanks = [&] {
        while (i < line.size() && isSpace(static_cast<unsigned char>(line[i])))
            ++i;
    };
    const auto number = [&]() -> std::optional<std::int64_t> {
        std::size_t end = 0;
        const auto value = leadingNumber(line.substr(i), &end);
        i += end;
        return value;
    };
    if (!literal('-') || !literal('Y'))
        return std::nullopt;
    blanks();
    const auto height = number();
    if (!height)
        return std::nullopt;
    blanks();
    if (!literal('+') || !literal('X'))
        return std::nullopt;
    blanks();
    const auto width = number();
    if (!width)
        return std::nullopt;
    return sizeOf(*width, *height);
}

bool isSofWithSize(int marker)
{
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// The markers as libjpeg reads them up to the first frame header: bytes
// that are not a marker are skipped, fill bytes too, and every segment
// is skipped by its length, however many and however large they are.
std::optional<ImageSize> readJpeg(Source &source)
{
    Cursor cursor(source, 2);
    for (;;) {
        int marker = 0;
        while (marker == 0) {   // FF 00 is a stuffed zero, no marker
            int c = cursor.get();
            while (c != 0xFF) {
                if (c < 0)
                    return std::nullopt;
                c = cursor.get();
            }
            do {
                c = cursor.get();
            } while (c == 0xFF);
            if (c < 0)
                return std::nullopt;
            marker = c;
        }
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01)
            continue;   // no length
        const bool skipped = marker == 0xC4 || marker == 0xCC || marker == 0xDB || marker == 0xDC || marker == 0xDD
                             || (marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE;
        // A second SOI, SOS or EOI before a frame header, or a marker
        // libjpeg does not know, ends the header unread.
        if (!skipped && !isSofWithSize(marker))
            return std::nullopt;
        unsigned char segment[7];
        const std::uint64_t at = cursor.position();
        if (isSofWithSize(marker)) {
            if (!source.read(at, segment, sizeof segment))
                return std::nullopt;
            return sizeOf(be16(segment + 5), be16(segment + 3));
        }
        if (!source.read(at, segment, 2))
            return std::nullopt;
        cursor.seek(at + std::max<std::uint32_t>(be16(segment), 2));
    }
}

// libwebp's header parsing (WebPGetFeatures) over the first 32 bytes, all
// that OpenCV hands it: a RIFF container or a bare VP8 or VP8L bitstream.
std::optional<ImageSize> readWebpHead(Bytes data, std::size_t size)
{
    constexpr std::uint32_t MAX_CHUNK_PAYLOAD = ~0u - 8 - 1;
    std::uint32_t riffSize = 0;
    if (size >= 12 && std::memcmp(data, "RIFF", 4) == 0) {
        if (std::memcmp(data + 8, "WEBP", 4) != 0)
            return std::nullopt;
        riffSize = le32(data + 4);
        if (riffSize < 12 || riffSize > MAX_CHUNK_PAYLOAD)
            return std::nullopt;
        data += 12;
        size -= 12;
    }
    const bool foundRiff = riffSize > 0;

    bool foundVp8x = false;
    std::int64_t canvasWidth = 0, canvasHeight = 0;
    if (size < 8)
        return std::nullopt;
    if (std::memcmp(data, "VP8X", 4) == 0) {
        if (le32(data + 4) != 10)
            return std::nullopt;
        if (size < 18)
            return std::nullopt;
        foundVp8x = true;
        canvasWidth = 1 + std::int64_t{le24(data + 12)};
        canvasHeight = 1 + std::int64_t{le24(data + 15)};
        if (canvasWidth * canvasHeight >= (std::int64_t{1} << 32))
            return std::nullopt;
        if (!foundRiff)
            return std::nullopt;
        data += 18;
        size -= 18;
    }
    // A header that ends inside the extended format's chunks gives the canvas.
    const auto canvas = [&]() -> std::optional<ImageSize> {
        if (foundVp8x)
            return sizeOf(canvasWidth, canvasHeight);
        return std::nullopt;
    };
    if (size < 4)
        return canvas();

    if ((foundRiff && foundVp8x) || (!foundRiff && !foundVp8x && std::memcmp(data, "ALPH", 4) == 0)) {
        std::uint64_t total = 4 + 8 + 10;   // "WEBP" and the VP8X chunk
        for (;;) {
            if (size < 8)
                return canvas();
            const std::uint32_t chunkSize = le32(data + 4);
            if (chunkSize > MAX_CHUNK_PAYLOAD)
                return std::nullopt;
            const std::uint64_t diskSize = (std::uint64_t{chunkSize} + 8 + 1) & ~std::uint64_t{1};
            total += diskSize;
            if (riffSize > 0 && total > riffSize)
                return std::nullopt;
            if (std::memcmp(data, "VP8 ", 4) == 0 || std::memcmp(data, "VP8L", 4) == 0)
                break;
            if (size < diskSize)
                return canvas();
            data += diskSize;
            size -= static_cast<std::size_t>(diskSize);
        }
    }

    if (size < 8)
        return canvas();
    bool lossless = false;
    std::uint64_t compressedSize = size;
    const bool isVp8 = std::memcmp(data, "VP8 ", 4) == 0;
    const bool isVp8l = std::memcmp(data, "VP8L", 4) == 0;
    if (isVp8 || isVp8l) {
        const std::uint32_t chunkSize = le32(data + 4);
        if (riffSize >= 12 && chunkSize > riffSize - 12)
            return std::nullopt;
        compressedSize = chunkSize;
        lossless = isVp8l;
        data += 8;
        size -= 8;
    } else {
        lossless = size >= 5 && data[0] == 0x2F && (data[4] >> 5) == 0;
    }
    if (compressedSize > MAX_CHUNK_PAYLOAD)
        return std::nullopt;

    std::int64_t width = 0, height = 0;
    if (!lossless) {
        if (size < 10)
            return canvas();
        const std::uint32_t bits = data[0] | data[1] << 8 | data[2] << 16;
        const bool keyFrame = !(bits & 1);
        if (data[3] != 0x9D || data[4] != 0x01 || data[5] != 0x2A || !keyFrame || ((bits >> 1) & 7) > 3
            || !((bits >> 4) & 1) || (bits >> 5) >= compressedSize)
            return std::nullopt;
        width = le16(data + 6) & 0x3FFF;
        height = le16(data + 8) & 0x3FFF;
        if (width == 0 || height == 0)
            return std::nullopt;
    } else {
        if (size < 5)
            return canvas();
        if (data[0] != 0x2F || (data[4] >> 5) != 0)
            return std::nullopt;
        const std::uint32_t bits = le32(data + 1);
        width = 1 + std::int64_t{bits & 0x3FFF};
        height = 1 + std::int64_t{(bits >> 14) & 0x3FFF};
    }
    if (foundVp8x && (canvasWidth != width || canvasHeight != height))
        return std::nullopt;
    return sizeOf(width, height);
}

std::optional<ImageSize> readSunRaster(Source &source)
{
    unsigned char h[12];
    if (!source.read(0, h, sizeof h))
        return std::nullopt;
    return sizeOf(signed32(be32(h + 4)), signed32(be32(h + 8)));
}

// A PNM number: white space and '#' comments before it, then digits.
std::optional<std::int64_t> pnmNumber(Cursor &cursor)
{
    int c = cursor.get();
    while (!isDigit(c)) {
        if (c == '#') {
            do {
                c = cursor.get();
            } while (c != '\n' && c != '\r' && c >= 0);
            if (c < 0)
                return std::nullopt;
            c = cursor.get();
        } else if (isSpace(c)) {
            while (isSpace(c))
                c = cursor.get();
        } else {
            return std::nullopt;
        }
    }
    std::int64_t value = 0;
    while (isDigit(c)) {
        value = appendDigit(value, c);
        c = cursor.get();
    }
    return value;
}

std::optional<ImageSize> readPnm(Source &source)
{
    Cursor cursor(source, 2);
    const auto width = pnmNumber(cursor);
    const auto height = width ? pnmNumber(cursor) : std::nullopt;
    if (!height)
        return std::nullopt;
    return sizeOf(*width, *height);
}

// PAM: "P7", then lines of a keyword and its value up to ENDHDR.
std::optional<ImageSize> readPam(Source &source)
{
    Cursor cursor(source, 3);
    std::optional<std::int64_t> width, height;
    for (;;) {
        int c = cursor.get();
        while (isSpace(c))
            c = cursor.get();
        if (c < 0)
            return std::nullopt;
        if (c == '#') {
            while (c != '\n' && c != '\r') {
                if (c < 0)
                    return std::nullopt;
                c = cursor.get();
            }
            continue;
        }
        std::string keyword;
        while (c >= 0 && !isSpace(c) && keyword.size() < 16) {
            keyword.push_back(static_cast<char>(c));
            c = cursor.get();
        }
        if (keyword == "ENDHDR")
            break;
        std::string value;
        while (c >= 0 && c != '\n' && c != '\r' && value.size() < 256) {
            value.push_back(static_cast<char>(c));
            c = cursor.get();
        }
        if (c != '\n' && c != '\r')
            return std::nullopt;
        if (keyword != "WIDTH" && keyword != "HEIGHT")
            continue;
        std::optional<std::int64_t> &field = keyword == "WIDTH" ? width : height;
        if (field)
            return std::nullopt;   // the decoder refuses a repeated field
        field = leadingNumber(value);
        if (!field)
            return std::nullopt;
    }
    if (!width || !height)
        return std::nullopt;
    return sizeOf(*width, *height);
}

// PFM: "Pf" or "PF", one line break, then width, height and scale, each
// ended by a single white-space byte and read as atoi reads it.
std::optional<ImageSize> readPfm(Source &source)
{
    if (source.byteAt(2) != '\n')
        return std::nullopt;
    Cursor cursor(source, 3);
    const auto token = [&cursor]() -> std::optional<std::string> {
        std::string text;
        for (;;) {
            const int c = cursor.get();
            if (c < 0)
                return std::nullopt;
            if (isSpace(c) || text.size() >= 2048)
                return text;
            text.push_back(static_cast<char>(c));
        }
    };
    const auto width = token();
    const auto height = width ? token() : std::nullopt;
    if (!height)
        return std::nullopt;
    return sizeOf(leadingNumber(*width).value_or(0), leadingNumber(*height).value_or(0));
}

// The first image file directory's ImageWidth (256) and ImageLength (257),
// wherever the directory lies.
std::optional<ImageSize> readTiff(Source &source, bool bigEndian, bool bigTiff)
{
    const auto u16 = [bigEndian](Bytes p) { return bigEndian ? be16(p) : le16(p); };
    const auto u32 = [bigEndian](Bytes p) { return bigEndian ? be32(p) : le32(p); };
    const auto u64 = [bigEndian](Bytes p) { return bigEndian ? be64(p) : le64(p); };

    unsigned char h[16];
    std::uint64_t directory = 0, count = 0;
    std::size_t entrySize = 12, countSize = 2;
    if (bigTiff) {
        if (!source.read(0, h, 16) || u16(h + 4) != 8 || u16(h + 6) != 0)
            return std::nullopt;
        directory = u64(h + 8);
        entrySize = 20;
        countSize = 8;
    } else {
        if (!source.read(0, h, 8))
            return std::nullopt;
        directory = u32(h + 4);
    }
    unsigned char n[8];
    if (!source.read(directory, n, countSize))
        return std::nullopt;
    count = bigTiff ? u64(n) : u16(n);
    // libtiff takes a directory of more entries for no directory at all.
    if (count > 4096)
        return std::nullopt;

    std::optional<std::int64_t> width, height;
    for (std::uint64_t i = 0; i < count && !(width && height); ++i) {
        unsigned char e[20];
        if (!source.read(directory + countSize + i * entrySize, e, entrySize))
            return std::nullopt;
        const std::uint32_t tag = u16(e);
        if (tag != 256 && tag != 257)
            continue;
        auto &field = tag == 256 ? width : height;
        if (field)
            continue;   // libtiff keeps the first of a repeated tag
        const std::uint32_t type = u16(e + 2);
        const std::uint64_t valueCount = bigTiff ? u64(e + 4) : u32(e + 4);
        Bytes value = e + (bigTiff ? 12 : 8);
        if (valueCount != 1)
            return std::nullopt;
        switch (type) {
        case 1:   // BYTE
            field = value[0];
            break;
        case 3:   // SHORT
            field = u16(value);
            break;
        case 4:   // LONG
            field = u32(value);
            break;
        case 16:   // LONG8, BigTIFF only
            if (!bigTiff)
                return std::nullopt;
            field = static_cast<std::int64_t>(std::min<std::uint64_t>(u64(value), SATURATED));
            break;
        default:
            return std::nullopt;
        }
    }
    if (!width || !height)
        return std::nullopt;
    return sizeOf(*width, *height);
}

std::optional<ImageSize> readPng(Source &source)
{
    unsigned char h[24];
    if (!source.read(0, h, sizeof h) || std::memcmp(h + 12, "IHDR", 4) != 0)
        return std::nullopt;
    return sizeOf(be32(h + 16), be32(h + 20));
}

// A J2K codestream's SIZ segment, right after SOC: the image area is the
// reference grid less its offset.
std::optional<ImageSize> readCodestream(Source &source, std::uint64_t offset)
{
    unsigned char h[24];
    if (!source.read(offset, h, sizeof h) || be16(h) != 0xFF4F || be16(h + 2) != 0xFF51)
        return std::nullopt;
    const std::int64_t xsiz = be32(h + 8), ysiz = be32(h + 12);
    const std::int64_t xosiz = be32(h + 16), yosiz = be32(h + 20);
    return sizeOf(xsiz - xosiz, ysiz - yosiz);
}

// JP2 boxes: the header box's ihdr and the codestream's SIZ should agree;
// where they do not, the larger of each counts, since OpenJPEG decodes the
// codestream.
std::optional<ImageSize> readJp2(Source &source)
{
    std::optional<ImageSize> header, codestream;
    const auto walk = [&source](std::uint64_t begin, std::uint64_t end, auto &&visit) {
        std::uint64_t position = begin;
        while (position + 8 <= end) {
            unsigned char b[16];
            if (!source.read(position, b, 8))
                return;
            std::uint64_t length = be32(b);
            std::uint64_t headerLength = 8;
            if (length == 1) {
                if (!source.read(position + 8, b + 8, 8))
                    return;
                length = be64(b + 8);
                headerLength = 16;
            } else if (length == 0) {
                length = end - position;
            }
            if (length < headerLength || length > end - position)
                return;
            if (!visit(b + 4, position + headerLength, position + length))
                return;
            position += length;
        }
    };
    walk(0, source.size(), [&](Bytes type, std::uint64_t contents, std::uint64_t end) {
        if (std::memcmp(type, "jp2h", 4) == 0) {
            walk(contents, end, [&](Bytes subType, std::uint64_t subContents, std::uint64_t) {
                unsigned char ihdr[8];
                if (std::memcmp(subType, "ihdr", 4) == 0 && source.read(subContents, ihdr, sizeof ihdr))
                    header = sizeOf(be32(ihdr + 4), be32(ihdr));
                return !header;
            });
        } else if (std::memcmp(type, "jp2c", 4) == 0) {
            codestream = readCodestream(source, contents);
            return false;
        }
        return true;
    });
    if (header && codestream)
        return ImageSize{std::max(header->width, codestream->width), std::max(header->height, codestream->height)};
    return codestream ? codestream : header;
}

} // namespace

std::optional<ImageSize> readSize(const ReadAt &read, std::uint64_t size)
{
    Source source(read, size);
    unsigned char head[32] = {};
    const std::size_t headLength = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof head, size));
    if (!source.read(0, head, headLength))
        return std::nullopt;
    const auto is = [&](const char *signature, std::size_t length) {
        return startsWith(head, headLength, signature, length);
    };
    const bool p3 = headLength >= 3 && head[0] == 'P' && isSpace(head[2]);

    if (is("BM", 2))
        return readBmp(source);
    if (is("#?RGBE", 6) || is("#?RADIANCE", 10))
        return readHdr(source);
    if (is("\xFF\xD8\xFF", 3))
        return readJpeg(source);
    if (headLength == sizeof head) {
        if (const auto webp = readWebpHead(head, headLength))
            return webp;
    }
    if (is("\x59\xA6\x6A\x95", 4))
        return readSunRaster(source);
    if (p3 && head[1] >= '1' && head[1] <= '6')
        return readPnm(source);
    if (p3 && head[1] == '7')
        return readPam(source);
    if (p3 && (head[1] == 'f' || head[1] == 'F'))
        return readPfm(source);
    if (is("II*\0", 4) || is("MM\0*", 4))
        return readTiff(source, head[0] == 'M', false);
    if (is("II+\0", 4) || is("MM\0+", 4))
        return readTiff(source, head[0] == 'M', true);
    if (is("\x89PNG\r\n\x1A\n", 8))
        return readPng(source);
    if (is("\0\0\0\x0CjP  \r\n\x87\n", 12))
        return readJp2(source);
    if (is("\xFF\x4F\xFF\x51", 4))
        return readCodestream(source, 0);
    return std::nullopt;
}

std::optional<ImageSize> readSize(const char *data, std::size_t size)
{
    const ReadAt read = [data, size](std::uint64_t offset, char *buffer, std::size_t length) -> std::size_t {
        if (offset >= size)
            return 0;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, size - offset));
        std::memcpy(buffer, data + offset, n);
        return n;
    };
    return readSize(read, size);
}

bool isWithinLimits(const ImageSize &size)
{
    return size.width <= MAX_SIDE && size.height <= MAX_SIDE && size.width * size.height <= MAX_PIXELS;
}

} // namespace imageheader
