#pragma once

#include "onnxuyolodetector.h"

// The rotated rectangle of a candidate row of `count` values: centre and size
// truncated toward zero, the last value the angle in radians.
cv::RotatedRect candidateRotatedBox(const float *values, int count);

// Oriented boxes: output [N, 4 + K + 1, A], the last value the angle in
// radians. Each result holds the rectangle's four corners in `points`.
class OnnxUOBBDetector : public OnnxUYoloDetector
{
public:
    ~OnnxUOBBDetector() override;

    void postprocess(std::vector<Ort::Value> &outputs,
                     std::unique_ptr<DetectResult[]> &results,
                     std::unique_ptr<int[]> &counts) override;

protected:
    int64_t minValuesPerCandidate() const override;
};
