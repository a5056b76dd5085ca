#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "onnxyolov5detector.h"

// Highest of `count` class scores as (index, score). Starts from (0, 0), so
// ties keep the earlier index and scores of 0 or below never win.
std::pair<int, float> bestClass(const float *scores, int count);

// The axis-aligned box of a candidate row (centre x, centre y, width, height
// in model pixels), each value truncated toward zero.
cv::Rect candidateBox(const float *values);

// Anchor-free YOLO output [N, 4 + K, A] decoded into axis-aligned boxes.
// Also the letterbox pre-processing shared by the oriented-box and key-point
// detectors.
class OnnxUYoloDetector : public OnnxYolov5Detector
{
public:
    OnnxUYoloDetector();
    ~OnnxUYoloDetector() override;

    cv::Mat preprocess(std::vector<cv::Mat> images) override;
    void postprocess(std::vector<Ort::Value> &outputs,
                     std::unique_ptr<DetectResult[]> &results,
                     std::unique_ptr<int[]> &counts) override;

protected:
    int64_t minValuesPerCandidate() const override;

    // Decodes one image: `rows` holds its A candidates as rows of C values.
    using ImageDecoder = std::function<void(const cv::Mat &rows, cv::Size source, DetectResultList &out)>;

    // Runs `decodeImage` over each image of output 0 and gathers the results.
    void decodeBatch(std::vector<Ort::Value> &outputs,
                     std::unique_ptr<DetectResult[]> &results,
                     std::unique_ptr<int[]> &counts,
                     const ImageDecoder &decodeImage) const;
};
