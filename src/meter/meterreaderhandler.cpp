#include "meterreaderhandler.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <QFileInfo>
#include <QUrl>

#include "base64.h"
#include "imageheader.h"
#include "json.h"
#include "meterreading.h"
#include "onnxuobbdetector.h"
#include "onnxuposedetector.h"

namespace {

const char *const NO_METER = "There are no meter detected in the image.";
const char *const SEVERAL_METERS = "There are more than one meters in the image. Now only support one meter.";
const char *const MIN_NOT_BELOW_MAX = "Min value should less than max.";
const char *const NO_POINTER = "Not supported pointer of meter.";
const char *const INVALID_BASE64 = "Invalid base64 encoded data.";
const char *const MIN_MAX_NOT_FINITE = "Min and max should be finite numbers.";
const char *const READING_NOT_FINITE = "The reading is not a finite number.";

std::string overLimitMessage(const imageheader::ImageSize &size)
{
    return QStringLiteral("Image of %1x%2 pixels is over the limit of %3 pixels a side and %4 megapixels.")
        .arg(size.width)
        .arg(size.height)
        .arg(imageheader::MAX_SIDE)
        .arg(imageheader::MAX_PIXELS / 1000000)
        .toStdString();
}

bool isWithinLimits(const cv::Mat &image)
{
    return imageheader::isWithinLimits({image.cols, image.rows});
}

// Completes the item however handleItem() leaves.
class CompletionGuard
{
public:
    explicit CompletionGuard(QueueItem *item)
        : m_item(item)
    {
    }
    ~CompletionGuard() { m_item->notify(); }
    CompletionGuard(const CompletionGuard &) = delete;
    CompletionGuard &operator=(const CompletionGuard &) = delete;

private:
    QueueItem *m_item;
};

// A member read as text: strings as they are, other values in their text form.
std::string textOf(const value &v)
{
    const char *text = v;
    return text ? text : "";
}

// To single precision as the hardware rounds: beyond float's range the
// language leaves the conversion undefined, and an infinity there must
// reach readMeter's check rather than whatever the compiler makes of it.
float narrowed(double number)
{
    constexpr double FLOAT_MAX = std::numeric_limits<float>::max();
    constexpr double OVERFLOW_AT = FLOAT_MAX + 0x1p103;   // half a unit in the last place above
    const float sign = number < 0.0 ? -1.0f : 1.0f;
    const double magnitude = std::fabs(number);
    if (magnitude >= OVERFLOW_AT)
        return sign * std::numeric_limits<float>::infinity();
    if (magnitude > FLOAT_MAX)
        return sign * std::numeric_limits<float>::max();
    return static_cast<float>(number);   // not-a-number stays so
}

// A member read as a number: true 1, false 0; strings parsed as decimal
// text, 0 when they do not parse; anything else 0.
float numberOf(const value &v)
{
    if (v.is_int())
        return static_cast<float>(static_cast<LONG64>(v));
    if (v.is_double())
        return narrowed(static_cast<double>(v));
    if (v.is_bool())
        return v.is_true() ? 1.0f : 0.0f;
    if (v.is_string())
        return narrowed(QString::fromUtf8(static_cast<const char *>(v)).toDouble());
    return 0.0f;
}

bool isUrl(const QString &text)
{
    return text.startsWith(QLatin1String("HTTP://"), Qt::CaseInsensitive)
           || text.startsWith(QLatin1String("HTTPS://"), Qt::CaseInsensitive);
}

} // namespace

cv::Mat MeterReaderHandler::readImageFile(const QString &path, std::string *limitError)
{
    const cv::Mat picture = readPicture(path, limitError);
    return picture.empty() ? picture : onCanvas(picture);
}

cv::Mat MeterReaderHandler::readPicture(const QString &path, std::string *limitError)
{
    const auto declared = imageheader::readFileSize(path);
    if (declared && !imageheader::isWithinLimits(*declared)) {
        if (limitError)
            *limitError = overLimitMessage(*declared);
        return {};
    }
    cv::Mat image = cv::imread(path.toStdString(), cv::IMREAD_COLOR);
    if (image.empty())
        return image;
    // A format the header reader does not know is judged once decoded.
    if (!isWithinLimits(image)) {
        if (limitError)
            *limitError = overLimitMessage({image.cols, image.rows});
        return {};
    }
    // The detectors letterbox the canvas to their input and map what they
    // find back to the canvas's own pixels, so the geometry then works on
    // the shrunken canvas. A reading is a fraction of the scale, which a
    // uniform shrink leaves as it is; only the resolution is lost, and an
    // 8192-pixel side is still far more than the models take in.
    const int longSide = std::max(image.cols, image.rows);
    if (longSide > MAX_CANVAS_SIDE) {
        const double scale = static_cast<double>(MAX_CANVAS_SIDE) / longSide;
        const auto shrink = [&](int length) {
            return length == longSide ? MAX_CANVAS_SIDE : std::max(1, static_cast<int>(std::lround(length * scale)));
        };
        cv::Mat shrunk;
        cv::resize(image, shrunk, cv::Size(shrink(image.cols), shrink(image.rows)), 0.0, 0.0, cv::INTER_AREA);
        image = shrunk;
    }
    return image;
}

cv::Mat MeterReaderHandler::onCanvas(const cv::Mat &picture)
{
    const int side = std::max(picture.cols, picture.rows);
    cv::Mat canvas = cv::Mat::zeros(side, side, CV_8UC3);
    picture.copyTo(canvas(cv::Rect(0, 0, picture.cols, picture.rows)));
    return canvas;
}

MeterReaderHandler::MeterReaderHandler(bool debug)
    : m_debug(debug)
    , m_downloader(this)
{
}

MeterReaderHandler::~MeterReaderHandler() = default;

bool MeterReaderHandler::init(const QString &meterModel, const QString &pointerModel)
{
    m_meterDetector = std::make_unique<OnnxUPoseDetector>();
    if (!m_meterDetector->init(meterModel.toStdWString()))
        return false;
    m_meterDetector->scoreThreshold = 0.2f;
    m_meterDetector->nmsThreshold = 0.5f;

    m_pointerDetector = std::make_unique<OnnxUOBBDetector>();
    if (!m_pointerDetector->init(pointerModel.toStdWString()))
        return false;
    m_pointerDetector->scoreThreshold = 0.1f;
    m_pointerDetector->nmsThreshold = 0.5f;
    return true;
}

void MeterReaderHandler::handleItem(QueueItemPtr item)
{
    CompletionGuard guard(item);
    answer(*item->request, *item->response);
}

void MeterReaderHandler::answer(const value &request, value &response, meterreading::Sighting *seen)
{
    const bool isObject = request.is_struct();
    const auto has = [&](const char *name) { return isObject && request.has(name); };

    try {
        QString imagePath;
        const bool hasPath = has("image_path");
        if (hasPath) {
            const QString text = QString::fromStdString(textOf(request["image_path"]));
            imagePath = text;
            if (isUrl(text)) {
                QString downloaded;
                QString reason;
                if (!m_downloader.downloadSync(QUrl(text, QUrl::TolerantMode), &downloaded, &reason)) {
                    response["error"] = QStringLiteral("Download from %1 failed, because of: %2")
                                            .arg(text, reason).toStdString();
                    return;
                }
                imagePath = downloaded;
            }
            if (!QFileInfo::exists(imagePath)) {
                response["error"] = QStringLiteral("File %1 does not exist.").arg(imagePath).toStdString();
                return;
            }
        }
        // Borrowed, not copied: the text lives in the request until the reply,
        // and an image's base64 runs to megabytes.
        const char *dataText = has("image_data") ? static_cast<const char *>(request["image_data"]) : nullptr;
        const QByteArray imageData = QByteArray::fromRawData(dataText ? dataText : "", dataText ? qstrlen(dataText) : 0);
        const float min = has("min") ? numberOf(request["min"]) : 0.0f;
        const float max = has("max") ? numberOf(request["max"]) : 1.0f;

        if (imagePath.isEmpty() && imageData.isEmpty()) {
            response["value"] = 0;
            response["error"] = "Either image_path or image_data is empty.";
            return;
        }

        cv::Mat image;
        cv::Mat picture;
        if (!imagePath.isEmpty()) {
            std::string limitError;
            picture = readPicture(imagePath, &limitError);
            if (!limitError.empty()) {
                response["error"] = limitError;
                return;
            }
            // A file that is not an image must never reach the detectors.
            if (picture.empty()) {
                response["value"] = 0.0;
                response["error"] = NO_METER;
                return;
            }
            image = onCanvas(picture);
        } else {
            QByteArray bytes;
            try {
                bytes = base64Decode(imageData, false);
            } catch (const std::invalid_argument &) {
                response["error"] = INVALID_BASE64;
                return;
            }
            const auto declared = imageheader::readSize(bytes.constData(), static_cast<std::size_t>(bytes.size()));
            if (declared && !imageheader::isWithinLimits(*declared)) {
                response["error"] = overLimitMessage(*declared);
                return;
            }
            image = cv::imdecode(cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1, bytes.data()), cv::IMREAD_COLOR);
            if (image.empty()) {
                response["error"] = INVALID_BASE64;
                return;
            }
            if (!isWithinLimits(image)) {
                response["error"] = overLimitMessage({image.cols, image.rows});
                return;
            }
            picture = image;
        }

        std::string error;
        meterreading::Trace *trace = nullptr;
        if (seen) {
            seen->picture = picture;
            trace = &seen->trace;
        }
        const float reading = readMeter(DetectImage{0, image.data, image.cols, image.rows}, error, min, max, trace);
        response["value"] = static_cast<double>(reading);
        response["error"] = error;
    } catch (const std::exception &e) {
        qWarning() << "reading failed:" << e.what();
        response["error"] = std::string("Reading failed: ") + e.what();
    }
}

float MeterReaderHandler::readMeter(const DetectImage &image, std::string &error, float min, float max,
                                    meterreading::Trace *trace)
{
    error.clear();
    const OnnxDetector::Prepared input = m_meterDetector->prepare({image});
    const DetectResultList dials = m_meterDetector->run(input).at(0);
    if (dials.empty()) {
        error = NO_METER;
        return 0.0f;
    }
    if (dials.size() > 1) {
        error = SEVERAL_METERS;
        return 0.0f;
    }
    if (!std::isfinite(min) || !std::isfinite(max)) {
        error = MIN_MAX_NOT_FINITE;
        return 0.0f;
    }
    if (min >= max) {
        error = MIN_NOT_BELOW_MAX;
        return 0.0f;
    }
    const DetectResult &dial = dials.front();
    // Fewer than five key points carry no scale to read.
    if (dial.points.size() < 5) {
        error = NO_METER;
        return 0.0f;
    }
    const std::vector<cv::Point2f> scale = meterreading::scalePoints(dial.points);
    if (trace) {
        trace->dialBox = dial.box;
        trace->scale = scale;
    }

    // Both models letterbox the picture alike: where their inputs are the same
    // size, the needle model runs on the dial model's blob (a millisecond or
    // two less on a 960-pixel input).
    const bool sameInput = m_pointerDetector->modelInputShape() == m_meterDetector->modelInputShape();
    const DetectResultList pointers =
        (sameInput ? m_pointerDetector->run(input) : m_pointerDetector->inference({image})).at(0);
    if (pointers.empty()) {
        error = NO_POINTER;
        return 0.0f;
    }
    const auto axis = meterreading::pointerAxis(pointers.front().points, meterreading::dialCentre(dial.box));
    if (!axis) {
        error = NO_POINTER;
        return 0.0f;
    }
    if (trace)
        trace->axis = axis;
    const float fraction = meterreading::scaleFraction(*axis, scale);

    if (m_debug) {
        const cv::Mat pixels(image.height, image.width, CV_8UC3, const_cast<uint8_t *>(image.data));
        cv::imwrite("test.jpg", meterreading::diagnosticPicture(pixels, scale, *axis));
    }
    const float reading = meterreading::valueAt(fraction, min, max);
    // The span of two finite floats can still overflow.
    if (!std::isfinite(reading)) {
        error = READING_NOT_FINITE;
        return 0.0f;
    }
    return reading;
}
