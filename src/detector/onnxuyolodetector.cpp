#include "onnxuyolodetector.h"

#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "letterbox.h"

std::pair<int, float> bestClass(const float *scores, int count)
{
    std::pair<int, float> best{0, 0.0f};
    for (int i = 0; i < count; ++i) {
        if (scores[i] > best.second)
            best = {i, scores[i]};
    }
    return best;
}

cv::Rect candidateBox(const float *values)
{
    const int cx = static_cast<int>(values[0]), cy = static_cast<int>(values[1]);
    const int w = static_cast<int>(values[2]), h = static_cast<int>(values[3]);
    return {cx - w / 2, cy - h / 2, w, h};
}

OnnxUYoloDetector::OnnxUYoloDetector()
{
    outputNames = {"output0"};
}

OnnxUYoloDetector::~OnnxUYoloDetector() = default;

int64_t OnnxUYoloDetector::minValuesPerCandidate() const
{
    return 4;
}

cv::Mat OnnxUYoloDetector::preprocess(std::vector<cv::Mat> images)
{
    const cv::Size input = inputSize();
    // RGB planes scaled to 0..1, what blobFromImages(…, 1 / 255, swapRB) gives;
    // each plane is converted straight into the blob, where blobFromImages
    // converts the whole picture and then copies it out plane by plane (a
    // millisecond more per model on a 960-pixel input).
    cv::Mat blob(std::vector<int>{static_cast<int>(images.size()), 3, input.height, input.width}, CV_32F);
    cv::Mat planes[3];
    for (size_t i = 0; i < images.size(); ++i) {
        cv::split(letterbox::fit(images[i], input), planes);
        for (int c = 0; c < 3; ++c) {
            cv::Mat plane(input.height, input.width, CV_32F, blob.ptr<float>(static_cast<int>(i), 2 - c));
            planes[c].convertTo(plane, CV_32F, 1.0 / 255.0);
        }
    }
    return blob;
}

void OnnxUYoloDetector::decodeBatch(std::vector<Ort::Value> &outputs,
                                    std::unique_ptr<DetectResult[]> &results,
                                    std::unique_ptr<int[]> &counts,
                                    const ImageDecoder &decodeImage) const
{
    // The run's real shape must be the one checked at load time; a model that
    // declares one shape and yields another would otherwise be read out of bounds.
    if (outputs.empty() || outputs[0].GetTensorTypeAndShapeInfo().GetShape() != outputShape)
        throw Ort::Exception("output0 does not have the model's declared shape", ORT_INVALID_GRAPH);

    const int n = static_cast<int>(outputShape[0]);
    const int c = static_cast<int>(outputShape[1]);
    const int a = static_cast<int>(outputShape[2]);
    const float *data = outputs[0].GetTensorData<float>();

    counts = std::make_unique<int[]>(n);
    DetectResultList all;
    cv::Mat rows;
    for (int b = 0; b < n; ++b) {
        const cv::Mat slab(c, a, CV_32F, const_cast<float *>(data) + static_cast<size_t>(b) * c * a);
        cv::transpose(slab, rows);
        const size_t before = all.size();
        decodeImage(rows, originalSizes.at(b), all);
        counts[b] = static_cast<int>(all.size() - before);
    }
    results = std::make_unique<DetectResult[]>(all.size());
    std::move(all.begin(), all.end(), results.get());
}

void OnnxUYoloDetector::postprocess(std::vector<Ort::Value> &outputs,
                                    std::unique_ptr<DetectResult[]> &results,
                                    std::unique_ptr<int[]> &counts)
{
    const cv::Size input = inputSize();
    decodeBatch(outputs, results, counts, [&](const cv::Mat &rows, cv::Size source, DetectResultList &out) {
        const int k = rows.cols - 4;
        std::vector<cv::Rect> boxes;
        std::vector<float> scores;
        std::vector<int> classes;
        for (int i = 0; i < rows.rows; ++i) {
            const float *v = rows.ptr<float>(i);
            const auto [classId, score] = bestClass(v + 4, k);
            if (scoreThreshold > score)
                continue;
            boxes.push_back(candidateBox(v));
            scores.push_back(score);
            classes.push_back(classId);
        }
        std::vector<int> kept;
        cv::dnn::NMSBoxes(boxes, scores, scoreThreshold, nmsThreshold, kept, 1.0f, 0);
        for (int i : kept) {
            DetectResult r;
            r.box = letterbox::boxToSource(boxes[i], source, input);
            r.score = scores[i];
            r.classId = classes[i];
            out.push_back(std::move(r));
        }
    });
}
