#include "onnxdetector.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include <malloc.h>

#include <spdlog/spdlog.h>

#include "modelcipher.h"

namespace {

const char *const THREADS_VARIABLE = "DIALVANE_ORT_THREADS";
const int MAX_THREADS = 256;

// Several instances on one machine would each size their pools to every
// core; the variable shares the cores out. 0 keeps ONNX Runtime's choice.
int intraOpThreadsFromEnvironment()
{
    const char *text = std::getenv(THREADS_VARIABLE);
    if (!text || !*text)
        return 0;
    const char *end = text + std::strlen(text);
    int threads = 0;
    const auto [last, error] = std::from_chars(text, end, threads);
    if (error != std::errc() || last != end || threads < 1 || threads > MAX_THREADS) {
        spdlog::warn("{}=\"{:.40}\" is not a thread count from 1 to {}; it is ignored", THREADS_VARIABLE, text,
                     MAX_THREADS);
        return 0;
    }
    return threads;
}

// Each reading allocates and frees blocks of several megabytes (the input
// blob, ONNX Runtime's int8 buffers). With glibc's defaults they come from
// fresh mappings, or from heap that was just handed back to the kernel, and
// every page faults in again on each run: an int8 pair then took twice as
// long per reading as its float twin (52 against 27 ms on two cores). Kept
// freed memory is reused instead, at the cost of a working set that stays
// at its peak.
const int MMAP_THRESHOLD = 32 << 20;   // glibc's largest
const int TRIM_THRESHOLD = 64 << 20;

void keepFreedMemory()
{
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD);
        mallopt(M_TRIM_THRESHOLD, TRIM_THRESHOLD);
    });
}

// The ONNX Runtime library from npm reads its telemetry switch from the
// environment when the process makes its first Env; DisableTelemetryEvents
// comes too late to keep it from writing a device id under the user's home,
// or from warning at every start where it cannot (a service's user has no
// home). Set once, before the first Env: every init passes here before it
// reads the environment or makes an Env.
const char *const TELEMETRY_VARIABLE = "ORT_DISABLE_TELEMETRY";

void switchTelemetryOff()
{
    static std::once_flag once;
    std::call_once(once, [] { ::setenv(TELEMETRY_VARIABLE, "1", 1); });
}

// wchar_t holds UTF-32 on the platforms we build for.
std::string toUtf8(const std::wstring &wide)
{
    std::string out;
    for (wchar_t wc : wide) {
        const auto c = static_cast<uint32_t>(wc);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | ((c >> 18) & 0x07));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string shapeText(const std::vector<int64_t> &shape)
{
    std::ostringstream s;
    s << '[';
    for (size_t i = 0; i < shape.size(); ++i)
        s << (i ? "," : "") << shape[i];
    s << ']';
    return s.str();
}

bool fullyFixed(const std::vector<int64_t> &shape)
{
    return std::all_of(shape.begin(), shape.end(), [](int64_t d) { return d > 0; });
}

std::string nameOf(Ort::Session &session, bool input, size_t index)
{
    Ort::AllocatorWithDefaultOptions allocator;
    return (input ? session.GetInputNameAllocated(index, allocator)
                  : session.GetOutputNameAllocated(index, allocator)).get();
}

} // namespace

OnnxDetector::OnnxDetector()
    : sessionOptions()
{
}

OnnxDetector::~OnnxDetector() = default;

cv::Size OnnxDetector::inputSize() const
{
    return {static_cast<int>(inputShape[3]), static_cast<int>(inputShape[2])};
}

bool OnnxDetector::init(const std::wstring &modelPath)
{
    session = Ort::Session{nullptr};
    inputShape.clear();
    outputShape.clear();
    m_metadata.clear();
    keepFreedMemory();
    switchTelemetryOff();
    try {
        env = Ort::Env(ORT_LOGGING_LEVEL_WARNING, "ONNX_DETECTION");
        // Some ONNX Runtime builds report usage over the network; a gauge
        // reader next to the user's cameras sends nothing anywhere.
        env.DisableTelemetryEvents();
        sessionOptions = Ort::SessionOptions();
        // The dial and the needle models run one after the other, each with
        // its own thread pool. A pool that spins after its run keeps a core
        // busy while the other model runs: on two cores the pair took about
        // 1.6 times as long as with pools that sleep.
        sessionOptions.AddConfigEntry("session.intra_op.allow_spinning", "0");
        if (const int threads = intraOpThreadsFromEnvironment()) {
            sessionOptions.SetIntraOpNumThreads(threads);
            spdlog::info("ONNX Runtime runs the model on {} thread(s), from {}", threads, THREADS_VARIABLE);
        }

        const std::string model = modelcipher::readModelFile(toUtf8(modelPath));
        session = Ort::Session(env, model.data(), model.size(), sessionOptions);
        spdlog::default_logger_raw()->log(spdlog::source_loc{__FILE__, __LINE__, "OnnxDetector::init"},
                                          spdlog::level::info, "ONNX create detector succeeded.");

        checkModel();
        readMetadata();
        warmUp();
        return true;
    } catch (const std::exception &e) {
        // Ort::Exception for files that are missing, empty or not a model;
        // std::invalid_argument from checkModel for models we cannot decode.
        spdlog::error("Error: ONNX initializaton failed:{}", e.what());
    }
    session = Ort::Session{nullptr};
    inputShape.clear();
    outputShape.clear();
    return false;
}

// Reads the shapes and checks them once here rather than on every request:
// they are fixed for the detector's lifetime.
void OnnxDetector::checkModel()
{
    const std::string input = nameOf(session, true, 0);
    const std::string output = nameOf(session, false, 0);
    if (input != inputNames[0] || output != outputNames[0])
        throw std::invalid_argument("model input 0 is '" + input + "' and output 0 '" + output + "', expected '"
                                    + inputNames[0] + "' and '" + outputNames[0] + "'");

    // The shape views borrow from their TypeInfo, which must outlive them.
    const Ort::TypeInfo inputType = session.GetInputTypeInfo(0);
    const Ort::TypeInfo outputType = session.GetOutputTypeInfo(0);
    const auto inputInfo = inputType.GetTensorTypeAndShapeInfo();
    const auto outputInfo = outputType.GetTensorTypeAndShapeInfo();
    inputShape = inputInfo.GetShape();
    outputShape = outputInfo.GetShape();
    if (inputInfo.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT
        || outputInfo.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
        throw std::invalid_argument("model input and output must be float32 tensors");
    if (inputShape.size() != 4 || !fullyFixed(inputShape) || inputShape[1] != 3)
        throw std::invalid_argument("model input shape " + shapeText(inputShape)
                                    + " is not a fixed [N,3,H,W]");
    if (outputShape.size() != 3 || !fullyFixed(outputShape) || outputShape[0] != inputShape[0]
        || outputShape[1] < minValuesPerCandidate())
        throw std::invalid_argument("model output shape " + shapeText(outputShape)
                                    + " is not a fixed [N,C,A] with C >= " + std::to_string(minValuesPerCandidate()));
    const std::string problem = layoutProblem(outputShape[1]);
    if (!problem.empty())
        throw std::invalid_argument("model output shape " + shapeText(outputShape) + ": " + problem);
}

std::string OnnxDetector::layoutProblem(int64_t) const
{
    return {};
}

void OnnxDetector::readMetadata()
{
    Ort::AllocatorWithDefaultOptions allocator;
    const Ort::ModelMetadata metadata = session.GetModelMetadata();
    for (const Ort::AllocatedStringPtr &key : metadata.GetCustomMetadataMapKeysAllocated(allocator)) {
        const Ort::AllocatedStringPtr value = metadata.LookupCustomMetadataMapAllocated(key.get(), allocator);
        m_metadata[key.get()] = value ? value.get() : "";
    }
}

std::string OnnxDetector::metadata(const std::string &key) const
{
    const auto found = m_metadata.find(key);
    return found == m_metadata.end() ? std::string() : found->second;
}

void OnnxDetector::warmUp()
{
    const int width = 1920;
    const int height = 1080;
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3, 0);
    pixels[0] = 255;
    const std::vector<DetectImage> images(static_cast<size_t>(inputShape[0]), DetectImage{0, pixels.data(), width, height});
    std::unique_ptr<DetectResult[]> results;
    std::unique_ptr<int[]> counts;
    detect(images.data(), static_cast<int>(images.size()), results, counts);
}

std::vector<DetectResultList> OnnxDetector::inference(const std::vector<DetectImage> &images)
{
    return run(prepare(images));
}

OnnxDetector::Prepared OnnxDetector::prepare(const std::vector<DetectImage> &images)
{
    Prepared prepared;
    prepared.sizes.reserve(images.size());
    for (const DetectImage &image : images)
        prepared.sizes.emplace_back(image.width, image.height);
    if (!session) {
        spdlog::error("Error: inference without a loaded model");
        return prepared;
    }
    if (static_cast<int64_t>(images.size()) != inputShape[0]) {
        spdlog::error("Error: inference takes {} image(s) at once, got {}", inputShape[0], images.size());
        return prepared;
    }
    std::vector<cv::Mat> mats;
    mats.reserve(images.size());
    for (const DetectImage &image : images) {
        if (!image.data || image.width <= 0 || image.height <= 0) {
            spdlog::error("Error: inference refused an image of {}x{} pixels", image.width, image.height);
            return prepared;
        }
        // Wrapped, not copied; preprocess never writes to its input pixels.
        mats.emplace_back(image.height, image.width, CV_8UC3, const_cast<uint8_t *>(image.data));
    }
    prepared.blob = preprocess(std::move(mats));
    return prepared;
}

std::vector<DetectResultList> OnnxDetector::run(const Prepared &prepared)
{
    std::vector<DetectResultList> perImage(prepared.sizes.size());
    if (prepared.blob.empty())
        return perImage;
    // A blob made for another model must have this one's exact input shape.
    const std::vector<int64_t> shape(prepared.blob.size.p, prepared.blob.size.p + prepared.blob.dims);
    if (!session || shape != inputShape || prepared.blob.type() != CV_32F || !prepared.blob.isContinuous()
        || static_cast<int64_t>(prepared.sizes.size()) != inputShape[0]) {
        spdlog::error("Error: inference got a blob of shape {}, the model takes {}", shapeText(shape),
                      shapeText(inputShape));
        return perImage;
    }
    originalSizes = prepared.sizes;
    const Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault);
    // ONNX Runtime only reads its inputs.
    Ort::Value input = Ort::Value::CreateTensor<float>(memory, const_cast<float *>(prepared.blob.ptr<float>()),
                                                       prepared.blob.total(), inputShape.data(), inputShape.size());

    std::unique_ptr<DetectResult[]> results;
    std::unique_ptr<int[]> counts;
    try {
        std::vector<Ort::Value> outputs = session.Run(Ort::RunOptions{nullptr}, inputNames.data(), &input, 1,
                                                      outputNames.data(), 1);
        postprocess(outputs, results, counts);
    } catch (const Ort::Exception &e) {
        spdlog::error("inference failed, error_code = {}, error_message: {}", static_cast<int>(e.GetOrtErrorCode()),
                      e.what());
        return perImage;
    }

    const DetectResult *next = results.get();
    for (size_t i = 0; i < perImage.size(); ++i) {
        perImage[i].assign(next, next + counts[i]);
        next += counts[i];
    }
    return perImage;
}
