#include "meterreaderhandler.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <QDebug>
#include <QElapsedTimer>
#include <QUrl>

#include "annotation.h"
#include "base64.h"
#include "imagefile.h"
#include "json.h"
#include "meterreading.h"
#include "metrics.h"
#include "modelcontract.h"
#include "requestmembers.h"
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

// Whether the dial network placed a scale on the dial: the graph writes every
// key point of the finder's own candidates as zero, confidence included.
bool placed(const DetectResult &dial)
{
    return std::any_of(dial.points.begin(), dial.points.end(), [](const DetectPoint &p) { return p.score > 0.0f; });
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

bool isUrl(const QString &text)
{
    return text.startsWith(QLatin1String("HTTP://"), Qt::CaseInsensitive)
           || text.startsWith(QLatin1String("HTTPS://"), Qt::CaseInsensitive);
}

// A client's text in a log line: enough to recognise it, never megabytes.
const int MAX_LOGGED_TEXT = 300;

// Where a request's image came from, for its log line.
QString sourceOf(const value &request)
{
    const bool isObject = request.is_struct();
    if (isObject && request.has("image_path")) {
        const QString text = QString::fromStdString(requestmembers::textOf(request["image_path"])).left(MAX_LOGGED_TEXT);
        return (isUrl(text) ? QStringLiteral("URL ") : QStringLiteral("path ")) + text;
    }
    const char *data = isObject && request.has("image_data") ? static_cast<const char *>(request["image_data"]) : nullptr;
    if (data && *data)
        return QStringLiteral("base64 of %1 characters").arg(qstrlen(data));
    return QStringLiteral("no image");
}

// A refusal's kind for the metrics: its text without the path, URL or sizes
// a request put into it, so that clients cannot grow the label set.
std::string refusalKind(const std::string &error)
{
    const auto startsWith = [&](const char *prefix) { return error.rfind(prefix, 0) == 0; };
    const auto endsWith = [&](const char *suffix) {
        const size_t length = std::strlen(suffix);
        return error.size() >= length && error.compare(error.size() - length, length, suffix) == 0;
    };
    if (startsWith("Download from "))
        return "Download failed.";
    if (startsWith("Image of "))
        return "Image over the size limits.";
    if (startsWith("Reading failed: "))
        return "Reading failed.";
    if (startsWith("File ")) {
        for (const char *tail : {" does not exist.", " is not a regular file.", " cannot be read.",
                                 " is outside the folders this server reads images from."})
            if (endsWith(tail))
                return std::string("File") + tail;
        if (error.find(" is larger than ") != std::string::npos)
            return "File too large.";
    }
    for (const char *fixed : {NO_METER, SEVERAL_METERS, MIN_NOT_BELOW_MAX, NO_POINTER, INVALID_BASE64,
                              MIN_MAX_NOT_FINITE, READING_NOT_FINITE, "Either image_path or image_data is empty.",
                              "Local image paths are turned off on this server."})
        if (error == fixed)
            return error;
    return "Other.";
}

// Why `model` cannot be read under this engine's contract (modelcontract.h),
// or empty. A property the model does not state is taken as the engine's.
QString contractProblem(const OnnxDetector &model)
{
    const std::vector<std::pair<const char *, std::string>> agreed = {
        {"dialvane.layout", modelcontract::LAYOUT},
        {"dialvane.keypoints", std::to_string(modelcontract::KEY_POINTS)},
        {"dialvane.keypoint_order", modelcontract::KEY_POINT_ORDER},
        {"dialvane.scale_order", modelcontract::SCALE_ORDER},
        {"dialvane.input_size", std::to_string(model.modelInputShape().back())},
    };
    for (const auto &[key, want] : agreed) {
        const std::string stated = model.metadata(key);
        if (!stated.empty() && stated != want)
            return QStringLiteral("it states %1 %2 where this engine reads %3")
                .arg(QLatin1String(key), QString::fromStdString(stated), QString::fromStdString(want));
    }
    return {};
}

// The threshold the model states under `key`, or `usual` where it states
// none; nullopt for a stated value that is no number in (0, 1].
std::optional<float> threshold(const OnnxDetector &model, const char *key, float usual)
{
    const std::string stated = model.metadata(key);
    if (stated.empty())
        return usual;
    bool ok = false;
    const float value = QString::fromStdString(stated).toFloat(&ok);
    if (!ok || !(value > 0.0f && value <= 1.0f))
        return std::nullopt;
    return value;
}

// Sets the model's thresholds from what it states, or says why it cannot.
QString applyThresholds(OnnxYolov5Detector &model, float usualScore)
{
    const std::optional<float> score = threshold(model, "dialvane.score", usualScore);
    const std::optional<float> iou = threshold(model, "dialvane.nms_iou", modelcontract::NMS_IOU);
    if (!score || !iou)
        return QStringLiteral("it states a threshold that is no number in (0, 1]: score \"%1\", nms_iou \"%2\"")
            .arg(QString::fromStdString(model.metadata("dialvane.score")),
                 QString::fromStdString(model.metadata("dialvane.nms_iou")));
    model.scoreThreshold = *score;
    model.nmsThreshold = *iou;
    return {};
}

// Takes the model under the contract it states, or says why it cannot.
QString adopt(OnnxYolov5Detector &model, float usualScore)
{
    const QString problem = contractProblem(model);
    return problem.isEmpty() ? applyThresholds(model, usualScore) : problem;
}

} // namespace

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
    const auto refused = [](const char *which, const QString &path, const QString &problem) {
        qCritical().noquote() << QStringLiteral("The %1 model %2 is refused: %3.").arg(QLatin1String(which), path, problem);
        return false;
    };
    // The geometry reads the key points by their place: a model of another
    // layout would load and read every gauge wrong.
    QString problem = m_meterDetector->keyPoints() == modelcontract::KEY_POINTS
        ? adopt(*m_meterDetector, modelcontract::DIAL_SCORE)
        : QStringLiteral("it has %1 key points where this engine reads %2")
              .arg(m_meterDetector->keyPoints())
              .arg(modelcontract::KEY_POINTS);
    if (!problem.isEmpty()) {
        m_meterDetector.reset();
        return refused("dial", meterModel, problem);
    }

    m_pointerDetector = std::make_unique<OnnxUOBBDetector>();
    if (!m_pointerDetector->init(pointerModel.toStdWString()))
        return false;
    problem = adopt(*m_pointerDetector, modelcontract::NEEDLE_SCORE);
    if (!problem.isEmpty()) {
        m_pointerDetector.reset();
        return refused("needle", pointerModel, problem);
    }
    return true;
}

void MeterReaderHandler::setPathPolicy(const imagefile::PathPolicy &policy)
{
    m_pathPolicy = policy;
}

void MeterReaderHandler::setUrlPolicy(const UrlPolicy &policy)
{
    m_downloader.setUrlPolicy(policy);
}

void MeterReaderHandler::handleItem(QueueItemPtr item)
{
    CompletionGuard guard(item);
    const qint64 waitedMs = item->age.elapsed();
    metrics::observeQueueWait(waitedMs / 1000.0);
    QElapsedTimer reading;
    reading.start();
    const value &response = *item->response;
    answer(*item->request, *item->response);
    const qint64 readMs = reading.elapsed();

    const std::string error = response.has("error") ? requestmembers::textOf(response["error"]) : std::string();
    metrics::countRequest(error.empty() ? "read" : "refused", error.empty() ? std::string() : refusalKind(error));
    const QString result = error.empty()
        ? QStringLiteral("read %1").arg(static_cast<double>(response["value"]))
        : QStringLiteral("refused: %1").arg(QString::fromStdString(error).left(MAX_LOGGED_TEXT));
    qInfo().noquote() << QStringLiteral("request %1: %2 -> %3 (waited %4 ms, read in %5 ms)")
                             .arg(item->id, sourceOf(*item->request), result)
                             .arg(waitedMs)
                             .arg(readMs);
}

void MeterReaderHandler::answer(const value &request, value &response, meterreading::Sighting *seen)
{
    const bool isObject = request.is_struct();
    const auto has = [&](const char *name) { return isObject && request.has(name); };

    try {
        QString imagePath;
        std::optional<QByteArray> fileBytes;
        const bool hasPath = has("image_path");
        if (hasPath) {
            const QString text = QString::fromStdString(requestmembers::textOf(request["image_path"]));
            imagePath = text;
            if (isUrl(text)) {
                QString downloaded;
                QString reason;
                const bool fetched = m_downloader.downloadSync(QUrl(text, QUrl::TolerantMode), &downloaded, &reason);
                metrics::countDownload(!fetched);
                if (!fetched) {
                    response["error"] = QStringLiteral("Download from %1 failed, because of: %2")
                                            .arg(text, reason).toStdString();
                    return;
                }
                imagePath = downloaded;
            }
            std::string failure;
            // A download's file is ours, wherever the path policy points.
            fileBytes = imagefile::readBytes(imagePath, failure, isUrl(text) ? imagefile::PathPolicy() : m_pathPolicy);
            if (!fileBytes) {
                response["error"] = failure;
                return;
            }
        }
        // Borrowed, not copied: the text lives in the request until the reply,
        // and an image's base64 runs to megabytes.
        const char *dataText = has("image_data") ? static_cast<const char *>(request["image_data"]) : nullptr;
        const QByteArray imageData = QByteArray::fromRawData(dataText ? dataText : "", dataText ? qstrlen(dataText) : 0);
        const float min = has("min") ? requestmembers::numberOf(request["min"]) : 0.0f;
        const float max = has("max") ? requestmembers::numberOf(request["max"]) : 1.0f;

        if (imagePath.isEmpty() && imageData.isEmpty()) {
            response["value"] = 0;
            response["error"] = "Either image_path or image_data is empty.";
            return;
        }

        cv::Mat image;
        cv::Mat picture;
        if (fileBytes) {
            std::string limitError;
            picture = imagefile::decode(fileBytes->constData(), static_cast<std::size_t>(fileBytes->size()), &limitError);
            fileBytes.reset();
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
            picture = imagefile::shrunkToCanvasLimit(picture);
            image = imagefile::onCanvas(picture);
        } else {
            QByteArray bytes;
            try {
                bytes = base64Decode(imageData, false);
            } catch (const std::invalid_argument &) {
                response["error"] = INVALID_BASE64;
                return;
            }
            std::string limitError;
            image = imagefile::decode(bytes.constData(), static_cast<std::size_t>(bytes.size()), &limitError);
            if (!limitError.empty()) {
                response["error"] = limitError;
                return;
            }
            if (image.empty()) {
                response["error"] = INVALID_BASE64;
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
        QElapsedTimer engine;
        engine.start();
        const float reading = readMeter(DetectImage{0, image.data, image.cols, image.rows}, error, min, max, trace);
        metrics::observeEngine(engine.nsecsElapsed() / 1e9);
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
    DetectResultList dials = m_meterDetector->run(input).at(0);
    if (trace)
        for (const DetectResult &d : dials)
            trace->dials.emplace_back(d.score, placed(d));
    const auto faint = [](const DetectResult &d) { return !placed(d) && d.score < modelcontract::UNPLACED_DIAL_SCORE; };
    dials.erase(std::remove_if(dials.begin(), dials.end(), faint), dials.end());
    if (dials.empty()) {
        error = NO_METER;
        return 0.0f;
    }
    if (dials.size() > 1) {
        error = SEVERAL_METERS;
        return 0.0f;
    }
    const DetectResult &dial = dials.front();
    // Alone, an unplaced dial has no scale to read: its points at the origin
    // gave a made-up value as a success.
    if (!placed(dial)) {
        error = NO_METER;
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
        cv::imwrite("test.jpg", meterreading::diagnosticPicture(pixels, scale, *axis, min, max));
    }
    const float reading = meterreading::valueAt(fraction, min, max);
    // The span of two finite floats can still overflow.
    if (!std::isfinite(reading)) {
        error = READING_NOT_FINITE;
        return 0.0f;
    }
    return reading;
}
