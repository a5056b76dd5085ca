#pragma once

#include <optional>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "detecttypes.h"

// The geometry of a reading: the needle's axis, prolonged beyond its tip, is
// crossed with the polyline of scale marks. Single precision except where a
// step says double; the conversions are deliberate, as they move the last bits.
namespace meterreading {

struct PointerAxis
{
    cv::Point2f base;   // middle of the box side nearer the dial centre
    cv::Point2f tip;    // middle of the side farther away
};

// What a reading found, for pictures that show it.
struct Trace
{
    cv::Rect dialBox;
    std::vector<cv::Point2f> scale;
    std::optional<PointerAxis> axis;
    // Every dial the dial model gave after NMS, strongest first: its score,
    // and whether a scale was placed on it (the finder's own have none).
    std::vector<std::pair<double, bool>> dials;
};

// A picture that was read, and what was found on it.
struct Sighting
{
    cv::Mat picture;
    Trace trace;
};

// Scale marks from the dial's key points (modelcontract.json names them):
// the start, the marks, the end. Empty unless there are KEY_POINTS.
std::vector<cv::Point2f> scalePoints(const std::vector<DetectPoint> &keyPoints);

cv::Point2f dialCentre(const cv::Rect &box);

// Empty unless `corners` holds exactly four points.
std::optional<PointerAxis> pointerAxis(const std::vector<DetectPoint> &corners, cv::Point2f centre);

// Where the axis from `a` through `b`, prolonged five lengths beyond `b`,
// crosses the segment s0-s1, as a fraction of that segment; -1 when it
// does not. A zero-length axis warns on standard error and crosses nothing.
float scaleCrossing(cv::Point2f a, cv::Point2f b, cv::Point2f s0, cv::Point2f s1);

// The first interval in scale order that the axis crosses, as (interval + t)
// tenths of the scale; when none is crossed, 0 or 1 for the end the needle
// points nearer to.
float scaleFraction(const PointerAxis &axis, const std::vector<cv::Point2f> &scale);

// The reading at `fraction` of the scale from min to max: the difference
// first, then the product, then the sum.
float valueAt(float fraction, float min, float max);

} // namespace meterreading
