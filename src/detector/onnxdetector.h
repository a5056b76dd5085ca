#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>
#include <opencv2/core.hpp>

#include "dnndetector.h"

// An ONNX Runtime session over an encrypted model file, run on the CPU.
// Threading: not reentrant; one inference() must end before the next starts.
class OnnxDetector : public DnnDetector
{
public:
    OnnxDetector();
    ~OnnxDetector() override;

    // Loads and decrypts the model, checks its shapes and runs one warm-up.
    // False, with the reason logged, when the model cannot be used.
    bool init(const std::wstring &modelPath);

    std::vector<DetectResultList> inference(const std::vector<DetectImage> &images) override;

    // A batch as the model takes it: the input blob, and each picture's size,
    // which the results are mapped back to. The blob is empty where the
    // batch was refused.
    struct Prepared
    {
        cv::Mat blob;
        std::vector<cv::Size> sizes;
    };
    // inference() in its two halves, so that a second model with the same
    // input runs on the blob the first one made.
    Prepared prepare(const std::vector<DetectImage> &images);
    std::vector<DetectResultList> run(const Prepared &input);

    // Turns the batch (the detector's own copies) into the input blob.
    virtual cv::Mat preprocess(std::vector<cv::Mat> images) = 0;

    // Decodes output 0 into all results, image 0's first, and per-image counts.
    virtual void postprocess(std::vector<Ort::Value> &outputs,
                             std::unique_ptr<DetectResult[]> &results,
                             std::unique_ptr<int[]> &counts) = 0;

    const std::vector<int64_t> &modelInputShape() const { return inputShape; }
    const std::vector<int64_t> &modelOutputShape() const { return outputShape; }

    // A property the model file states about itself (its custom metadata,
    // which the export writes); empty when it states none.
    std::string metadata(const std::string &key) const;

protected:
    // The least number of values per candidate that postprocess can decode.
    virtual int64_t minValuesPerCandidate() const = 0;
    // Empty when postprocess can decode `values` per candidate; else why not.
    virtual std::string layoutProblem(int64_t values) const;

    // Model input size (W, H).
    cv::Size inputSize() const;

    std::vector<const char *> inputNames{"images"};
    std::vector<const char *> outputNames{"output"};
    std::vector<int64_t> inputShape;
    std::vector<int64_t> outputShape;
    // (width, height) of each picture of the batch being run; the decoders
    // map back with it.
    std::vector<cv::Size> originalSizes;
    Ort::Env env{nullptr};
    Ort::SessionOptions sessionOptions{nullptr};
    Ort::Session session{nullptr};

private:
    void checkModel();
    void readMetadata();

    std::map<std::string, std::string> m_metadata;
    void warmUp();
};
