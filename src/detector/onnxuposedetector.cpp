#include "onnxuposedetector.h"

#include <opencv2/dnn.hpp>

#include "letterbox.h"

OnnxUPoseDetector::~OnnxUPoseDetector() = default;

int64_t OnnxUPoseDetector::minValuesPerCandidate() const
{
    return 5;
}

// A box, a score and three values (x, y, confidence) per key point: any
// other count would cut the last point short and shift nothing into place.
std::string OnnxUPoseDetector::layoutProblem(int64_t values) const
{
    if ((values - 5) % 3 != 0)
        return "C is not 5 + 3 values per key point";
    return {};
}

int OnnxUPoseDetector::keyPoints() const
{
    return outputShape.size() == 3 ? static_cast<int>((outputShape[1] - 5) / 3) : 0;
}

void OnnxUPoseDetector::postprocess(std::vector<Ort::Value> &outputs,
                                    std::unique_ptr<DetectResult[]> &results,
                                    std::unique_ptr<int[]> &counts)
{
    const cv::Size input = inputSize();
    decodeBatch(outputs, results, counts, [&](const cv::Mat &rows, cv::Size source, DetectResultList &out) {
        const int keyPoints = (rows.cols - 5) / 3;
        std::vector<cv::Rect> boxes;
        std::vector<float> scores;
        std::vector<const float *> candidates;
        for (int i = 0; i < rows.rows; ++i) {
            const float *v = rows.ptr<float>(i);
            const float score = v[4] > 0.0f ? v[4] : 0.0f;
            if (scoreThreshold > score)
                continue;
            boxes.push_back(candidateBox(v));
            scores.push_back(score);
            candidates.push_back(v);
        }
        std::vector<int> kept;
        cv::dnn::NMSBoxes(boxes, scores, scoreThreshold, nmsThreshold, kept, 1.0f, 0);
        for (int i : kept) {
            DetectResult r;
            r.box = letterbox::boxToSource(boxes[i], source, input);
            r.score = scores[i];
            r.classId = 0;
            // Key points are read only for the survivors, straight from their rows.
            const float *kp = candidates[i] + 5;
            for (int k = 0; k < keyPoints; ++k, kp += 3) {
                const cv::Point s = letterbox::pointToSource(kp[0], kp[1], source, input);
                r.points.push_back({s.x, s.y, kp[2]});
            }
            out.push_back(std::move(r));
        }
    });
}
