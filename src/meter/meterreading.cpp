#include "meterreading.h"

#include <algorithm>
#include <cmath>
#include <iostream>

#include "modelcontract.h"

namespace meterreading {
namespace {

const double SEGMENT_TOLERANCE = 1e-4;

// Distances between a float point and another, on coordinate differences
// rounded half to even first.
double roundedDistance(cv::Point2f p, cv::Point2f q)
{
    const double dx = std::nearbyint(p.x - q.x);
    const double dy = std::nearbyint(p.y - q.y);
    return std::sqrt(dx * dx + dy * dy);
}

float midpoint(float u, float v)
{
    return static_cast<float>(static_cast<double>(u + v) * 0.5);
}

} // namespace

std::vector<cv::Point2f> scalePoints(const std::vector<DetectPoint> &keyPoints)
{
    std::vector<cv::Point2f> scale;
    if (keyPoints.size() != modelcontract::KEY_POINTS)
        return scale;
    for (const int k : modelcontract::SCALE) {
        const DetectPoint &p = keyPoints[static_cast<size_t>(k)];
        scale.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
    }
    return scale;
}

cv::Point2f dialCentre(const cv::Rect &box)
{
    const auto x = static_cast<float>(box.x), y = static_cast<float>(box.y);
    const auto w = static_cast<float>(box.width), h = static_cast<float>(box.height);
    return {static_cast<float>(static_cast<double>(x + (x + w)) * 0.5),
            static_cast<float>(static_cast<double>(y + (y + h)) * 0.5)};
}

std::optional<PointerAxis> pointerAxis(const std::vector<DetectPoint> &corners, cv::Point2f centre)
{
    if (corners.size() != 4)
        return std::nullopt;
    struct Corner
    {
        cv::Point2f p;
        double distance;
    };
    std::vector<Corner> sorted;
    for (const DetectPoint &c : corners) {
        const cv::Point2f p(static_cast<float>(c.x), static_cast<float>(c.y));
        sorted.push_back({p, roundedDistance(centre, p)});
    }
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Corner &a, const Corner &b) { return a.distance < b.distance; });
    return PointerAxis{{midpoint(sorted[0].p.x, sorted[1].p.x), midpoint(sorted[0].p.y, sorted[1].p.y)},
                       {midpoint(sorted[2].p.x, sorted[3].p.x), midpoint(sorted[2].p.y, sorted[3].p.y)}};
}

float scaleCrossing(cv::Point2f a, cv::Point2f b, cv::Point2f s0, cv::Point2f s1)
{
    const cv::Point2f d = b - a;
    const double length = std::sqrt(static_cast<double>(d.x) * d.x + static_cast<double>(d.y) * d.y);
    cv::Point2f farTip = b;
    if (length != 0.0) {
        const auto lf = static_cast<float>(length);
        const cv::Point2f unit(d.x / lf, d.y / lf);
        const float reach = lf * 5.0f;
        farTip = cv::Point2f(unit.x * reach + b.x, unit.y * reach + b.y);
    } else {
        std::cerr << "Warning: Cannot extend a zero-length segment. Returning original points." << std::endl;
    }

    const cv::Point2f r = farTip - a;
    const cv::Point2f s = s1 - s0;
    const cv::Point2f q = s0 - a;
    const auto den = static_cast<double>(s.y * r.x - s.x * r.y);
    if (std::fabs(den) < 1e-9)
        return -1.0f;
    const double ua = static_cast<double>(q.x * s.y - q.y * s.x) / den;
    if (ua < -1e-9 || ua > 1.000000001)
        return -1.0f;
    // The position along the scale segment carries single-precision rounding
    // of about 1e-6; a bound tighter than that made a needle resting on the
    // end mark miss the last segment and read min instead of max. Between
    // two segments the widened bound changes nothing: the earlier segment
    // wins with t = 1, which reads the same as t = 0 on the next.
    const double ub = static_cast<double>(q.x * r.y - q.y * r.x) / den;
    if (ub < -SEGMENT_TOLERANCE || ub > 1.0 + SEGMENT_TOLERANCE)
        return -1.0f;

    const cv::Point2f crossing(a.x + static_cast<float>(r.x * ua), a.y + static_cast<float>(r.y * ua));
    const double d0 = roundedDistance(crossing, s0);
    const double d1 = roundedDistance(crossing, s1);
    if (d0 + d1 == 0.0)
        return -1.0f;
    return static_cast<float>(d0 / (d0 + d1));
}

float scaleFraction(const PointerAxis &axis, const std::vector<cv::Point2f> &scale)
{
    for (size_t i = 0; i + 1 < scale.size(); ++i) {
        const float t = scaleCrossing(axis.base, axis.tip, scale[i], scale[i + 1]);
        if (!(t == -1.0f))   // not-a-number stops the search too
            return static_cast<float>(static_cast<double>(static_cast<float>(i) + t) / 10.0);
    }
    // No crossing: the needle points into the gap between the scale's ends.
    // It rests on its stop pin below the start, or is pegged beyond the end;
    // it reads the end it points nearer to. Reading the start for both made
    // a gauge at full scale read its minimum. A tie, a needle of no length,
    // or one turned away from both ends reads the start.
    if (scale.size() < 2)
        return 0.0f;
    const cv::Point2d dir(axis.tip - axis.base);
    const auto closeness = [&](cv::Point2f mark) {
        const cv::Point2d to(mark - axis.base);
        const double norms = std::hypot(dir.x, dir.y) * std::hypot(to.x, to.y);
        return norms > 0.0 ? dir.dot(to) / norms : -1.0;
    };
    const double toEnd = closeness(scale.back());
    return toEnd > 0.0 && toEnd > closeness(scale.front()) + 1e-6 ? 1.0f : 0.0f;
}

float valueAt(float fraction, float min, float max)
{
    return fraction * (max - min) + min;
}

} // namespace meterreading
