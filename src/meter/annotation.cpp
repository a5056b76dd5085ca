#include "annotation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/imgproc.hpp>

namespace meterreading {

std::string compactNumber(double number)
{
    if (number == 0.0)
        number = 0.0;   // a negative zero prints its sign
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", number);
    return text;
}

std::vector<std::string> scaleLabels(size_t count, double min, double max)
{
    std::vector<std::string> labels;
    for (size_t k = 0; k < count; ++k)
        labels.push_back(compactNumber((max - min) * (static_cast<double>(k) / 10.0) + min));
    return labels;
}

cv::Mat diagnosticPicture(const cv::Mat &image, const std::vector<cv::Point2f> &scale, const PointerAxis &axis,
                          double min, double max)
{
    cv::Mat picture = image.clone();
    const cv::Scalar red(0, 0, 255);
    const std::vector<std::string> labels = scaleLabels(scale.size(), min, max);
    // Values run to several digits: small type on a small picture, and a
    // light edge so that they read on a dark dial too.
    const double size = std::clamp(picture.cols / 1280.0, 0.4, 1.0);
    const int weight = std::max(1, static_cast<int>(std::lround(2 * size)));
    for (size_t k = 0; k < scale.size(); ++k) {
        const cv::Point at(static_cast<int>(scale[k].x), static_cast<int>(scale[k].y));
        cv::circle(picture, at, 4, red, -1, cv::LINE_8);
        const cv::Point origin = at + cv::Point(5, -5);
        cv::putText(picture, labels[k], origin, cv::FONT_HERSHEY_SIMPLEX, size, cv::Scalar(255, 255, 255), weight + 2,
                    cv::LINE_AA);
        cv::putText(picture, labels[k], origin, cv::FONT_HERSHEY_SIMPLEX, size, red, weight, cv::LINE_AA);
    }
    cv::line(picture, cv::Point(cvRound(axis.base.x), cvRound(axis.base.y)),
             cv::Point(cvRound(axis.tip.x), cvRound(axis.tip.y)), cv::Scalar(255, 0, 0), 2, cv::LINE_8);
    return picture;
}

std::string caption(double min, double max, const std::string &result)
{
    return "min " + compactNumber(min) + ", max " + compactNumber(max) + ": " + result;
}

cv::Mat annotatedPicture(const cv::Mat &image, const Trace &trace, double min, double max, const std::string &result)
{
    cv::Mat picture = trace.axis ? diagnosticPicture(image, trace.scale, *trace.axis, min, max) : image.clone();
    if (!trace.dialBox.empty())
        cv::rectangle(picture, trace.dialBox, cv::Scalar(0, 200, 0), 2);
    // Dark under light, so the caption reads on any background.
    const std::string text = caption(min, max, result);
    const double scale = std::max(0.6, picture.cols / 800.0);
    const cv::Point at(10, static_cast<int>(30 * scale));
    cv::putText(picture, text, at, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(0, 0, 0), static_cast<int>(4 * scale));
    cv::putText(picture, text, at, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(0, 255, 255),
                static_cast<int>(2 * scale));
    return picture;
}

} // namespace meterreading
