#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core/types.hpp>

// One image handed to a detector. The detector reads the pixels and never
// keeps or frees them.
struct DetectImage
{
    int32_t format = 0;                 // callers set 0; not read
    const uint8_t *data = nullptr;      // packed 8-bit B, G, R, rows without padding
    int32_t width = 0;
    int32_t height = 0;
};

struct DetectPoint
{
    int32_t x = 0;
    int32_t y = 0;
    float score = 0.0f;                 // key-point confidence; 0 for oriented-box corners
};

struct DetectResult
{
    int32_t id = -1;
    int32_t classId = -1;
    double score = 0.0;
    cv::Rect box{0, 0, 5000, 5000};     // source pixels; oriented boxes leave the default
    std::vector<DetectPoint> points;    // key points, or the four corners of an oriented box
    bool rotated = false;
};
