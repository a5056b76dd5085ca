#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "onnxdetector.h"

// The YOLO family's level: the batch's source sizes and the two thresholds.
class OnnxYolov5Detector : public OnnxDetector
{
public:
    ~OnnxYolov5Detector() override;

    float scoreThreshold = 0.5f;
    float nmsThreshold = 0.5f;
};
