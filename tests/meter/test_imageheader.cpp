#include "imageheader.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <QByteArray>

using imageheader::ImageSize;

namespace {

// v's low `n` bytes, least significant first (le) or last (be).
QByteArray le(quint64 v, int n) { QByteArray b; for (int i = 0; i < n; ++i) b += static_cast<char>(v >> 8 * i); return b; }
QByteArray be(quint64 v, int n) { QByteArray b = le(v, n); std::reverse(b.begin(), b.end()); return b; }
QByteArray bytes(const char *text, int length) { return QByteArray(text, length); }

std::string text(const std::optional<ImageSize> &size)
{
    return size ? std::to_string(size->width) + "x" + std::to_string(size->height) : "none";
}

std::string text(std::int64_t width, std::int64_t height)
{
    return std::to_string(width) + "x" + std::to_string(height);
}

std::optional<ImageSize> sizeOf(const QByteArray &data)
{
    return imageheader::readSize(data.constData(), static_cast<std::size_t>(data.size()));
}

QByteArray encoded(const cv::Mat &image, const std::string &extension, const std::vector<int> &params = {})
{
    std::vector<uchar> buffer;
    if (!cv::imencode(extension, image, buffer, params))
        return {};
    return QByteArray(reinterpret_cast<const char *>(buffer.data()), static_cast<int>(buffer.size()));
}

// What OpenCV itself makes of the data: the size it decodes to.
std::string decodedSize(const QByteArray &data)
{
    const cv::Mat image = cv::imdecode(cv::Mat(1, static_cast<int>(data.size()), CV_8UC1, const_cast<char *>(data.data())),
                                       cv::IMREAD_UNCHANGED);
    return image.empty() ? "none" : text(image.cols, image.rows);
}

cv::Mat picture(int width, int height, int type)
{
    cv::Mat image(height, width, type);
    cv::randu(image, 0, 200);
    return image;
}

// A minimal uncompressed 8-bit grey TIFF, its directory after the pixels.
// `longSize`: width and height as LONG rather than SHORT.
QByteArray tiff(bool bigEndian, bool bigTiff, bool longSize, quint32 width, quint32 height)
{
    const auto u16 = [bigEndian](quint32 v) { return bigEndian ? be(v, 2) : le(v, 2); };
    const auto u32 = [bigEndian](quint32 v) { return bigEndian ? be(v, 4) : le(v, 4); };
    const auto u64 = [bigEndian](quint64 v) { return bigEndian ? be(v, 8) : le(v, 8); };
    const quint32 headerSize = bigTiff ? 16 : 8;
    const quint64 pixels = quint64{width} * height;
    const quint64 pixelsStored = pixels <= 65536 ? pixels : 16;   // a declared size alone beyond that
    struct Entry
    {
        quint32 tag, type, value;
    };
    const std::vector<Entry> entries = {
        {256, longSize ? 4u : 3u, width}, {257, longSize ? 4u : 3u, height}, {258, 3, 8}, {259, 3, 1}, {262, 3, 1},
        {273, 4, headerSize}, {277, 3, 1}, {278, 4, height}, {279, 4, static_cast<quint32>(pixels)},
    };
    QByteArray file = QByteArray(bigEndian ? "MM" : "II") + u16(bigTiff ? 43 : 42);
    const quint64 directory = headerSize + pixelsStored + (pixelsStored & 1);
    file += bigTiff ? u16(8) + u16(0) + u64(directory) : u32(static_cast<quint32>(directory));
    for (quint64 i = 0; i < pixelsStored; ++i)
        file += static_cast<char>(i * 7);
    if (pixelsStored & 1)
        file += '\0';
    file += bigTiff ? u64(entries.size()) : u16(static_cast<quint32>(entries.size()));
    for (const Entry &e : entries) {
        file += u16(e.tag) + u16(e.type) + (bigTiff ? u64(1) : u32(1));
        QByteArray value = e.type == 3 ? u16(e.value) + u16(0) : u32(e.value);
        if (bigTiff)
            value += QByteArray(4, '\0');
        file += value;
    }
    file += bigTiff ? u64(0) : u32(0);
    return file;
}

QByteArray box(const char *type, const QByteArray &contents)
{
    return be(static_cast<quint32>(8 + contents.size()), 4) + QByteArray(type, 4) + contents;
}

// A J2K codestream's start: SOC and a SIZ of one component.
QByteArray codestream(quint32 width, quint32 height, quint32 x0 = 0, quint32 y0 = 0)
{
    return bytes("\xff\x4f\xff\x51", 4) + be(41, 2) + be(0, 2) + be(width + x0, 4) + be(height + y0, 4) + be(x0, 4)
           + be(y0, 4) + be(width + x0, 4) + be(height + y0, 4) + be(0, 4) + be(0, 4) + be(1, 2)
           + bytes("\x07\x01\x01", 3);
}

QByteArray jp2(quint32 width, quint32 height, const QByteArray &stream)
{
    return bytes("\0\0\0\x0cjP  \r\n\x87\n", 12) + box("ftyp", bytes("jp2 \0\0\0\0jp2 ", 12))
           + box("jp2h", box("ihdr", be(height, 4) + be(width, 4) + be(1, 2) + bytes("\x07\x07\0\0", 4))
                             + box("colr", bytes("\x01\0\0\0\0\0\x11", 7)))
           + box("jp2c", stream);
}

// A JPEG frame header of `marker` after a comment and fill bytes.
QByteArray jpegHeader(int marker, quint32 width, quint32 height)
{
    return bytes("\xff\xd8\xff\xfe\0\x05" "abc\xff\xff\xff", 12) + static_cast<char>(0xff)
           + QByteArray(1, static_cast<char>(marker)) + be(11, 2) + '\x08' + be(height, 2) + be(width, 2)
           + bytes("\x01\x01\x11\0", 4);
}

QByteArray webpVp8x(quint32 width, quint32 height)
{
    const quint32 w = width - 1, h = height - 1;
    QByteArray vp8x = QByteArray("VP8X") + le(10, 4) + le(0x10, 4) + le(w, 3) + le(h, 3);
    vp8x += QByteArray("ALPH") + le(2, 4) + bytes("\0\0", 2);
    return "RIFF" + le(static_cast<quint32>(4 + vp8x.size() + 100), 4) + "WEBP" + vp8x + QByteArray(100, '\0');
}

QByteArray webpVp8l(quint32 width, quint32 height)
{
    const QByteArray stream = '\x2f' + le((width - 1) | (height - 1) << 14, 4) + QByteArray(40, '\0');
    return "RIFF" + le(static_cast<quint32>(4 + 8 + stream.size()), 4) + "WEBP" + "VP8L"
           + le(static_cast<quint32>(stream.size()), 4) + stream;
}

QByteArray webpVp8(quint32 width, quint32 height)
{
    const QByteArray frame = bytes("\x50\x02\x00\x9d\x01\x2a", 6) + le(width, 2) + le(height, 2) + QByteArray(40, '\0');
    return "RIFF" + le(static_cast<quint32>(4 + 8 + frame.size()), 4) + "WEBP" + "VP8 "
           + le(static_cast<quint32>(frame.size()), 4) + frame;
}

} // namespace

// Every format OpenCV can write here, one of each header layout, at sizes that
// tell width from height: the header gives the size that OpenCV decodes.
TEST(ImageHeader, ReadsWhatOpenCvWrites)
{
    struct Variant
    {
        std::string extension;
        int type;
        std::vector<int> params;
    };
    const std::vector<Variant> variants = {
        {".png", CV_8UC3, {}}, {".jpg", CV_8UC3, {}}, {".jpg", CV_8UC3, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}},
        {".bmp", CV_8UC3, {}}, {".tiff", CV_8UC3, {}}, {".tiff", CV_32FC3, {cv::IMWRITE_TIFF_COMPRESSION, 1}},
        {".webp", CV_8UC3, {cv::IMWRITE_WEBP_QUALITY, 80}}, {".webp", CV_8UC3, {cv::IMWRITE_WEBP_QUALITY, 101}},
        {".webp", CV_8UC4, {cv::IMWRITE_WEBP_QUALITY, 80}}, {".ppm", CV_8UC3, {}}, {".pgm", CV_8UC1, {}},
        {".pbm", CV_8UC1, {cv::IMWRITE_PXM_BINARY, 0}}, {".pam", CV_8UC3, {}}, {".pfm", CV_32FC1, {}},
        {".pfm", CV_32FC3, {}}, {".sr", CV_8UC3, {}}, {".hdr", CV_32FC3, {}}, {".jp2", CV_8UC3, {}},
    };
    const std::vector<cv::Size> sizes = {{1, 1}, {37, 23}, {23, 37}, {640, 17}, {3, 301}, {70, 33}, {33, 70}};
    for (const Variant &v : variants) {
        for (const cv::Size &size : sizes) {
            const std::string expected = text(size.width, size.height);
            const std::string where = v.extension + " type " + std::to_string(v.type) + " " + expected;
            // OpenJPEG's encoder wants room for its resolution levels.
            if (v.extension == ".jp2" && std::min(size.width, size.height) < 32)
                continue;
            const QByteArray data = encoded(picture(size.width, size.height, v.type), v.extension, v.params);
            ASSERT_FALSE(data.isEmpty()) << where << ": OpenCV wrote nothing";
            EXPECT_EQ(decodedSize(data), expected) << where;
            EXPECT_EQ(text(sizeOf(data)), expected) << where;

        }
    }
}

// Declared sizes beyond the limits, read without a pixel behind them; and
// what is no header at all ("none").
TEST(ImageHeader, ReadsLargeDeclaredSizesAndRefusesWhatIsNoHeader)
{
    const QByteArray png = bytes("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + be(37, 4) + be(23, 4);
    const struct
    {
        const char *what;
        QByteArray data;
        std::string size;
    } cases[] = {
        {"PNG", bytes("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + be(30000, 4) + be(20001, 4) + QByteArray(9, '\0'), "30000x20001"},
        {"JPEG SOF0", jpegHeader(0xc0, 30000, 20001), "30000x20001"},
        {"JPEG SOF15", jpegHeader(0xcf, 30000, 20001), "30000x20001"},
        {"BMP", "BM" + le(0, 4) + le(0, 4) + le(54, 4) + le(40, 4) + le(30000, 4) + le(static_cast<quint32>(-20001), 4), "30000x20001"},
        {"BMP, OS/2", "BM" + le(0, 4) + le(0, 4) + le(26, 4) + le(12, 4) + le(65535, 2) + le(20001, 2), "65535x20001"},
        {"TIFF II LONG", tiff(false, false, true, 300000, 20001), "300000x20001"},
        {"BigTIFF MM", tiff(true, true, true, 30000, 20001), "30000x20001"},
        {"WebP VP8X", webpVp8x(30000, 20001), "30000x20001"},
        {"WebP VP8L", webpVp8l(9000, 16384), "9000x16384"},
        {"WebP VP8", webpVp8(16383, 9000), "16383x9000"},
        {"PGM", "P2 30000\n20001\n255\n", "30000x20001"},
        {"PAM", "P7\nWIDTH 30000\nHEIGHT 20001\nDEPTH 3\nMAXVAL 255\nENDHDR\n", "30000x20001"},
        {"PFM grey", "Pf\n30000 20001\n-1.0\n", "30000x20001"},
        {"Sun raster", bytes("\x59\xa6\x6a\x95", 4) + be(30000, 4) + be(20001, 4) + be(24, 4) + QByteArray(16, '\0'), "30000x20001"},
        {"HDR", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 20001 +X 30000\n", "30000x20001"},
        {"HDR, RGBE", "#?RGBE\nGAMMA=1\nFORMAT=32-bit_rle_rgbe\n\n-Y 20001 +X 30000\n", "30000x20001"},
        {"JP2", jp2(30000, 20001, codestream(30000, 20001)), "30000x20001"},
        {"JP2, its codestream larger than its header", jp2(100, 100, codestream(30000, 20001)), "30000x20001"},
        {"J2K", codestream(30000, 20001, 5, 7), "30000x20001"},
        {"nothing", {}, "none"},
        {"text", "these are not pixels", "none"},
        {"PNG cut short", png.left(22), "none"},
        {"PNG of no width", bytes("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + be(0, 4) + be(23, 4), "none"},
        {"JPEG without a frame", bytes("\xff\xd8\xff\xe0\0\x04" "ab\xff\xd9", 10), "none"},
        {"JPEG, scan before frame", bytes("\xff\xd8\xff\xda\0\x04" "ab", 8) + jpegHeader(0xc0, 5, 5).mid(2), "none"},
        {"JPEG of no height", jpegHeader(0xc0, 5, 0), "none"},
        {"JPEG cut in a segment", jpegHeader(0xc0, 5, 5).left(7), "none"},
        {"TIFF, directory beyond the end", "II" + le(42, 2) + le(1000, 4), "none"},
        {"TIFF, a directory of more entries than libtiff takes", "II" + le(42, 2) + le(8, 4) + le(4097, 2) + le(256, 2) + le(3, 2) + le(1, 4) + le(5, 4), "none"},
        {"TIFF without its height", "II" + le(42, 2) + le(8, 4) + le(1, 2) + le(256, 2) + le(3, 2) + le(1, 4) + le(5, 4) + le(0, 4), "none"},
        {"PNM cut short", "P6\n5", "none"},
        {"J2K with an offset past the grid", codestream(0, 5, 3, 0), "none"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(text(sizeOf(c.data)), c.size) << c.what;
}

TEST(ImageHeader, LimitsOfSideAndArea)
{
    const std::pair<ImageSize, bool> cases[] = {
        {{20000, 5000}, true}, {{1, 20000}, true}, {{10000, 10000}, true}, {{20001, 1}, false},
        {{1, 20001}, false}, {{10000, 10001}, false}, {{std::int64_t{1} << 40, std::int64_t{1} << 40}, false},
    };
    for (const auto &[size, within] : cases)
        EXPECT_EQ(imageheader::isWithinLimits(size), within) << text(size.width, size.height);
}
