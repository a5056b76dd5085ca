#pragma once

#include <opencv2/core.hpp>

// Letterboxing into the model's input size, and the inverse mappings that
// bring model coordinates back to the source image. Single precision
// throughout, so that both directions agree to the pixel.
namespace letterbox {

const cv::Scalar PAD_COLOR(114, 114, 114);

// Scales `image` by one factor for both axes (enlarging small images) and
// centres it on a `target`-sized canvas of `color`; an odd leftover pixel
// goes to the bottom or the right. `image` must not be empty.
cv::Mat fit(const cv::Mat &image, cv::Size target, const cv::Scalar &color = PAD_COLOR);

// Box form: offsets and sizes rounded to the nearest pixel.
cv::Rect boxToSource(const cv::Rect &box, cv::Size source, cv::Size input);

// Point form: truncated toward zero.
cv::Point pointToSource(float x, float y, cv::Size source, cv::Size input);

} // namespace letterbox
