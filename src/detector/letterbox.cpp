#include "letterbox.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace letterbox {
namespace {

float scaleOf(cv::Size source, cv::Size input)
{
    return std::min(static_cast<float>(input.width) / static_cast<float>(source.width),
                    static_cast<float>(input.height) / static_cast<float>(source.height));
}

struct Inverse
{
    float r;
    int padX;
    int padY;
};

// The pads use the unrounded scaled size, so they can be one less than the
// border fit() adds; kept so for agreement with models trained on this.
Inverse inverseOf(cv::Size source, cv::Size input)
{
    const float r = scaleOf(source, input);
    return {r,
            static_cast<int>((static_cast<float>(input.width) - static_cast<float>(source.width) * r) * 0.5f),
            static_cast<int>((static_cast<float>(input.height) - static_cast<float>(source.height) * r) * 0.5f)};
}

} // namespace

cv::Mat fit(const cv::Mat &image, cv::Size target, const cv::Scalar &color)
{
    const float r = scaleOf(image.size(), target);
    // At least a pixel: a thin strip would otherwise round to nothing, and
    // resizing to nothing throws.
    const int nw = std::max(1, static_cast<int>(std::round(static_cast<float>(image.cols) * r)));
    const int nh = std::max(1, static_cast<int>(std::round(static_cast<float>(image.rows) * r)));

    cv::Mat scaled;
    if (nw != image.cols || nh != image.rows)
        cv::resize(image, scaled, cv::Size(nw, nh), 0, 0, cv::INTER_LINEAR);
    else
        scaled = image;

    const float dw = static_cast<float>(target.width - nw) * 0.5f;
    const float dh = static_cast<float>(target.height - nh) * 0.5f;
    const int top = static_cast<int>(std::round(dh - 0.1f));
    const int bottom = static_cast<int>(std::round(dh + 0.1f));
    const int left = static_cast<int>(std::round(dw - 0.1f));
    const int right = static_cast<int>(std::round(dw + 0.1f));

    cv::Mat out;
    cv::copyMakeBorder(scaled, out, top, bottom, left, right, cv::BORDER_CONSTANT, color);
    return out;
}

cv::Rect boxToSource(const cv::Rect &box, cv::Size source, cv::Size input)
{
    const Inverse inv = inverseOf(source, input);
    return {static_cast<int>(std::round(static_cast<float>(box.x - inv.padX) / inv.r)),
            static_cast<int>(std::round(static_cast<float>(box.y - inv.padY) / inv.r)),
            static_cast<int>(std::round(static_cast<float>(box.width) / inv.r)),
            static_cast<int>(std::round(static_cast<float>(box.height) / inv.r))};
}

cv::Point pointToSource(float x, float y, cv::Size source, cv::Size input)
{
    const Inverse inv = inverseOf(source, input);
    return {static_cast<int>((x - static_cast<float>(inv.padX)) / inv.r),
            static_cast<int>((y - static_cast<float>(inv.padY)) / inv.r)};
}

} // namespace letterbox
