#include "imagefile.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <QDir>
#include <QFile>

#include "imageheader.h"

namespace imagefile {

namespace {

std::string overLimitMessage(const imageheader::ImageSize &size)
{
    return QStringLiteral("Image of %1x%2 pixels is over the limit of %3 pixels a side and %4 megapixels.")
        .arg(size.width)
        .arg(size.height)
        .arg(imageheader::MAX_SIDE)
        .arg(imageheader::MAX_PIXELS / 1000000)
        .toStdString();
}

std::string fileMessage(const QString &path, const char *what)
{
    return QStringLiteral("File %1 %2").arg(path, QLatin1String(what)).toStdString();
}

class Descriptor
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// The descriptor of `path` beneath one of the policy's folders, opened with
// openat2 so that the kernel keeps every step of the resolution inside it.
// -1 with errno EXDEV when the path lies outside all of them.
int openBeneath(const QString &path, const QStringList &folders, int flags)
{
    const QString absolute = QDir::isAbsolutePath(path) ? path : QDir::currentPath() + QLatin1Char('/') + path;
    for (const QString &folder : folders) {
        const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
        if (!absolute.startsWith(prefix))
            continue;
        const Descriptor root(::open(QFile::encodeName(folder).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (root.get() < 0)
            continue;
        QByteArray beneath = QFile::encodeName(absolute.mid(prefix.size()));
        if (beneath.isEmpty())
            beneath = ".";
        open_how how = {};
        how.flags = static_cast<__u64>(flags);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        return static_cast<int>(::syscall(SYS_openat2, root.get(), beneath.constData(), &how, sizeof how));
    }
    errno = EXDEV;
    return -1;
}

} // namespace

std::optional<QByteArray> readBytes(const QString &path, std::string &error, const PathPolicy &policy)
{
    if (!policy.allowed) {
        error = "Local image paths are turned off on this server.";
        return std::nullopt;
    }
    // O_NONBLOCK: opening a FIFO with no writer returns at once instead of
    // waiting for one; a regular file reads the same with it.
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const Descriptor file(policy.folders.isEmpty() ? ::open(QFile::encodeName(path).constData(), flags)
                                                   : openBeneath(path, policy.folders, flags));
    if (file.get() < 0) {
        const int cause = errno;
        if (cause == EXDEV)
            error = fileMessage(path, "is outside the folders this server reads images from.");
        else if (cause == ENOENT || cause == ENOTDIR || cause == ELOOP || cause == ENAMETOOLONG)
            error = fileMessage(path, "does not exist.");
        else if (cause == ENXIO)   // a socket
            error = fileMessage(path, "is not a regular file.");
        else
            error = fileMessage(path, "cannot be read.");
        return std::nullopt;
    }
    struct stat status = {};
    if (::fstat(file.get(), &status) != 0) {
        error = fileMessage(path, "cannot be read.");
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        error = fileMessage(path, "is not a regular file.");
        return std::nullopt;
    }
    const auto tooLarge = [&] {
        error = QStringLiteral("File %1 is larger than %2 bytes.").arg(path).arg(MAX_FILE_BYTES).toStdString();
        return std::nullopt;
    };
    if (status.st_size > MAX_FILE_BYTES)
        return tooLarge();

    // Read to the end rather than to the size: files under /proc say 0 bytes.
    QByteArray bytes;
    bytes.resize(static_cast<qsizetype>(std::max<off_t>(status.st_size, 0)) + 1);
    qsizetype filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (filled > MAX_FILE_BYTES)
                return tooLarge();
            bytes.resize(std::min<qsizetype>(filled * 2 + 4096, MAX_FILE_BYTES + 1));
        }
        const ssize_t got = ::read(file.get(), bytes.data() + filled, static_cast<size_t>(bytes.size() - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = fileMessage(path, "cannot be read.");
            return std::nullopt;
        }
        if (got == 0)
            break;
        filled += got;
    }
    if (filled > MAX_FILE_BYTES)
        return tooLarge();
    bytes.resize(filled);
    return bytes;
}

cv::Mat decode(const char *data, std::size_t size, std::string *limitError)
{
    const auto declared = imageheader::readSize(data, size);
    if (declared && !imageheader::isWithinLimits(*declared)) {
        if (limitError)
            *limitError = overLimitMessage(*declared);
        return {};
    }
    if (size == 0)
        return {};
    const cv::Mat encoded(1, static_cast<int>(size), CV_8UC1, const_cast<char *>(data));
    cv::Mat image = cv::imdecode(encoded, cv::IMREAD_COLOR);
    // A format the header reader does not know is judged once decoded.
    if (!image.empty() && !imageheader::isWithinLimits({image.cols, image.rows})) {
        if (limitError)
            *limitError = overLimitMessage({image.cols, image.rows});
        return {};
    }
    return image;
}

cv::Mat readPicture(const QString &path, std::string *error)
{
    std::string failure;
    const std::optional<QByteArray> bytes = readBytes(path, failure);
    const cv::Mat image = bytes ? decode(bytes->constData(), static_cast<std::size_t>(bytes->size()), &failure) : cv::Mat();
    if (!failure.empty() && error)
        *error = failure;
    return image.empty() ? image : shrunkToCanvasLimit(image);
}

cv::Mat shrunkToCanvasLimit(const cv::Mat &picture)
{
    // The detectors letterbox the canvas to their input and map what they
    // find back to the canvas's own pixels, so the geometry then works on
    // the shrunken canvas. A reading is a fraction of the scale, which a
    // uniform shrink leaves as it is; only the resolution is lost, and an
    // 8192-pixel side is still far more than the models take in.
    const int longSide = std::max(picture.cols, picture.rows);
    if (longSide <= MAX_CANVAS_SIDE)
        return picture;
    const double scale = static_cast<double>(MAX_CANVAS_SIDE) / longSide;
    const auto shrink = [&](int length) {
        return length == longSide ? MAX_CANVAS_SIDE : std::max(1, static_cast<int>(std::lround(length * scale)));
    };
    cv::Mat shrunk;
    cv::resize(picture, shrunk, cv::Size(shrink(picture.cols), shrink(picture.rows)), 0.0, 0.0, cv::INTER_AREA);
    return shrunk;
}

cv::Mat onCanvas(const cv::Mat &picture)
{
    const int side = std::max(picture.cols, picture.rows);
    cv::Mat canvas = cv::Mat::zeros(side, side, CV_8UC3);
    picture.copyTo(canvas(cv::Rect(0, 0, picture.cols, picture.rows)));
    return canvas;
}

cv::Mat readImageFile(const QString &path, std::string *error)
{
    const cv::Mat picture = readPicture(path, error);
    return picture.empty() ? picture : onCanvas(picture);
}

} // namespace imagefile
