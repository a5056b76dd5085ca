#pragma once

#include "onnxuyolodetector.h"

// One-class key points: output [N, 5 + 3P, A], per candidate a box, a score
// and P (x, y, confidence) triples, reported in model order.
class OnnxUPoseDetector : public OnnxUYoloDetector
{
public:
    ~OnnxUPoseDetector() override;

    void postprocess(std::vector<Ort::Value> &outputs,
                     std::unique_ptr<DetectResult[]> &results,
                     std::unique_ptr<int[]> &counts) override;

    // P, read from the loaded model's output shape; 0 before a load.
    int keyPoints() const;

protected:
    int64_t minValuesPerCandidate() const override;
    std::string layoutProblem(int64_t values) const override;
};
