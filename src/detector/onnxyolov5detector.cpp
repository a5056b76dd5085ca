#include "onnxyolov5detector.h"

OnnxYolov5Detector::~OnnxYolov5Detector() = default;
