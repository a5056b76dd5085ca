#include "onnxuobbdetector.h"

#include <opencv2/dnn.hpp>

#include "letterbox.h"

cv::RotatedRect candidateRotatedBox(const float *values, int count)
{
    const auto whole = [](float x) { return static_cast<float>(static_cast<int>(x)); };
    // The product in single precision, the quotient in double: this makes
    // pi/2 exactly 90 degrees.
    const auto angle = static_cast<float>(static_cast<double>(values[count - 1] * 180.0f) / 3.141592653589793);
    return {cv::Point2f(whole(values[0]), whole(values[1])), cv::Size2f(whole(values[2]), whole(values[3])), angle};
}

OnnxUOBBDetector::~OnnxUOBBDetector() = default;

int64_t OnnxUOBBDetector::minValuesPerCandidate() const
{
    return 5;
}

void OnnxUOBBDetector::postprocess(std::vector<Ort::Value> &outputs,
                                   std::unique_ptr<DetectResult[]> &results,
                                   std::unique_ptr<int[]> &counts)
{
    const cv::Size input = inputSize();
    decodeBatch(outputs, results, counts, [&](const cv::Mat &rows, cv::Size source, DetectResultList &out) {
        const int c = rows.cols;
        std::vector<cv::RotatedRect> boxes;
        std::vector<float> scores;
        std::vector<int> classes;
        for (int i = 0; i < rows.rows; ++i) {
            const float *v = rows.ptr<float>(i);
            const auto [classId, score] = bestClass(v + 4, c - 5);
            if (scoreThreshold > score)
                continue;
            boxes.push_back(candidateRotatedBox(v, c));
            scores.push_back(score);
            classes.push_back(classId);
        }
        std::vector<int> kept;
        cv::dnn::NMSBoxes(boxes, scores, scoreThreshold, nmsThreshold, kept, 1.0f, 0);
        for (int i : kept) {
            cv::Point2f corners[4];
            boxes[i].points(corners);
            DetectResult r;
            for (const cv::Point2f &p : corners) {
                const cv::Point s = letterbox::pointToSource(p.x, p.y, source, input);
                r.points.push_back({s.x, s.y, 0.0f});
            }
            r.rotated = true;
            r.score = scores[i];
            r.classId = classes[i];
            out.push_back(std::move(r));
        }
    });
}
