#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <opencv2/core/mat.hpp>

#include <QByteArray>
#include <QString>
#include <QStringList>

// Image files and bytes as requests read them. A path is opened once,
// without blocking, and only a regular file is read from that descriptor:
// a FIFO with no writer would otherwise hold the single handler for good,
// a device never ends, and a file swapped after a check is not the one read.
namespace imagefile {

// A request's body cannot carry more than this (WSJWorker::MAX_BODY_BYTES),
// so neither may a file it names.
constexpr qint64 MAX_FILE_BYTES = qint64(128) << 20;

// The largest canvas side: a long thin strip within the image limits
// would otherwise make a canvas of up to 20000 x 20000 pixels (1.2 GB).
constexpr int MAX_CANVAS_SIDE = 8192;

// Where a request's local paths may lead. By default, anywhere the server's
// user may read, as a workstation beside its cameras expects.
struct PathPolicy
{
    bool allowed = true;     // false: every local path is refused
    QStringList folders;     // when not empty, only files beneath one of these
};

// The whole content of the regular file at `path`; empty, with the reply's
// text in `error`, when it does not exist, is no regular file, cannot be read
// or is over MAX_FILE_BYTES, or when `policy` does not allow it. The policy
// is judged before the file is looked for, so that a refusal reveals nothing
// about it; beneath a folder, neither "..", nor a symbolic link, nor a
// /proc magic link leads out.
std::optional<QByteArray> readBytes(const QString &path, std::string &error, const PathPolicy &policy = {});

// The picture an encoded image decodes to, judged from its header before a
// pixel is decoded. Empty when it is no image, or over the limits of
// imageheader.h; then `limitError`, when given, receives the reply's text.
cv::Mat decode(const char *data, std::size_t size, std::string *limitError = nullptr);

// A local image file as a path request reads it: readBytes(), decode(),
// shrunkToCanvasLimit(). Empty with `error` set for a
// file that cannot be read or an image over the limits, and empty with
// `error` untouched for a file that is no image.
cv::Mat readPicture(const QString &path, std::string *error = nullptr);

// The picture itself up to MAX_CANVAS_SIDE, else shrunk to it.
cv::Mat shrunkToCanvasLimit(const cv::Mat &picture);

// The square black canvas the detectors read, the picture in its top-left corner.
cv::Mat onCanvas(const cv::Mat &picture);

// readPicture(), then onCanvas().
cv::Mat readImageFile(const QString &path, std::string *error = nullptr);

} // namespace imagefile
