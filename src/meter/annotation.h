#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "meterreading.h"

// Pictures of a reading for people: what was found, drawn onto the photo.
// The reading itself never depends on them.
namespace meterreading {

// A number as short as it reads: at most six significant digits, no
// trailing zeros, and never "-0" ("0", "40", "0.25", "1e+06").
std::string compactNumber(double number);

// The values of the first `count` scale points on a scale from min to max,
// compact: the points sit at tenths of the span, which need not be the
// printed ticks, so the picture names their values.
std::vector<std::string> scaleLabels(size_t count, double min, double max);

// The diagnostic picture: the scale points labelled with their values and
// the needle axis. min and max default to those of a request that names none.
cv::Mat diagnosticPicture(const cv::Mat &image, const std::vector<cv::Point2f> &scale, const PointerAxis &axis,
                          double min = 0.0, double max = 1.0);

// The picture with the dial box, the scale points and the needle axis that
// were found, and a caption at the top: min, max and `result` (the reading,
// or why there is none).
cv::Mat annotatedPicture(const cv::Mat &image, const Trace &trace, double min, double max, const std::string &result);

// That caption: "min 0, max 400: read 93.0317".
std::string caption(double min, double max, const std::string &result);

} // namespace meterreading
