#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "annotation.h"
#include "meterreading.h"

using namespace meterreading;

namespace {

// Eleven marks on the line y = 0 at x = 0, 10, ..., 100: ten intervals of 10.
std::vector<cv::Point2f> straightScale()
{
    std::vector<cv::Point2f> scale;
    for (int i = 0; i <= 10; ++i)
        scale.emplace_back(10.0f * i, 0.0f);
    return scale;
}

// A needle standing below the scale, pointing up at x.
PointerAxis upAt(float x)
{
    return {{x, 50.0f}, {x, 40.0f}};
}

} // namespace

TEST(Geometry, CrossingsAlongTheScale)
{
    const auto scale = straightScale();
    // The axis is prolonged five lengths beyond its tip (40 -> -10) to reach y = 0.
    EXPECT_FLOAT_EQ(scaleFraction(upAt(35.0f), scale), 0.35f);
    // A crossing on the end mark of interval 2 is t = 1 there, found before
    // interval 3 sees t = 0.
    EXPECT_FLOAT_EQ(scaleCrossing({30, 50}, {30, 40}, scale[2], scale[3]), 1.0f);
    EXPECT_FLOAT_EQ(scaleFraction(upAt(30.0f), scale), 0.3f);
    EXPECT_FLOAT_EQ(scaleFraction(upAt(100.0f), scale), 1.0f);

    // Too short to reach: the prolonged axis ends at y = 5.
    EXPECT_EQ(scaleCrossing({35, 60}, {35, 51}, scale[3], scale[4]), -1.0f);
    // Parallel to the scale.
    EXPECT_EQ(scaleCrossing({0, 5}, {10, 5}, scale[0], scale[1]), -1.0f);
    // Pointing away from the scale.
    EXPECT_EQ(scaleFraction({{35.0f, 40.0f}, {35.0f, 50.0f}}, scale), 0.0f);

    // min -10, max 40, t 0.5 of interval 3.
    EXPECT_NEAR(valueAt(scaleFraction(upAt(35.0f), scale), -10.0f, 40.0f), 7.5f, 1e-5);
}

TEST(Geometry, ANeedleInTheGapOfARoundDialReadsTheStart)
{
    // Marks every 27 degrees from 225 down to -45 on a circle; the needle
    // points straight down, into the gap between the end and the start mark.
    std::vector<cv::Point2f> scale;
    for (int i = 0; i <= 10; ++i) {
        const double theta = (225.0 - 27.0 * i) * M_PI / 180.0;
        scale.emplace_back(static_cast<float>(200 + 100 * std::cos(theta)), static_cast<float>(200 - 100 * std::sin(theta)));
    }
    EXPECT_EQ(scaleFraction({{200, 190}, {200, 230}}, scale), 0.0f);
    // Pointing straight up instead meets mark 5, at 90 degrees: the middle.
    EXPECT_NEAR(scaleFraction({{200, 210}, {200, 170}}, scale), 0.5f, 0.002f);

    // Resting on a stop pin 10 degrees below the start reads the start;
    // pegged 10 degrees beyond the end reads the end, not the start.
    const auto aimedAt = [](double degrees) {
        const double theta = degrees * M_PI / 180.0;
        return PointerAxis{{200, 200}, {static_cast<float>(200 + 40 * std::cos(theta)),
                                        static_cast<float>(200 - 40 * std::sin(theta))}};
    };
    EXPECT_EQ(scaleFraction(aimedAt(235.0), scale), 0.0f);
    EXPECT_EQ(scaleFraction(aimedAt(-55.0), scale), 1.0f);
}

// The picture labels the scale points with the values a reading gives there:
// in the shortest text that names them, without the span's rounding noise.
TEST(Geometry, ScalePointsAreLabelledWithTheirValues)
{
    EXPECT_EQ(scaleLabels(11, -1.0, 1.0),
              (std::vector<std::string>{"-1", "-0.8", "-0.6", "-0.4", "-0.2", "0", "0.2", "0.4", "0.6", "0.8", "1"}));
    EXPECT_EQ(scaleLabels(3, 0.1, 0.3), (std::vector<std::string>{"0.1", "0.12", "0.14"}));
    EXPECT_EQ(caption(-0.5, 16.0, "refused: Not supported pointer of meter."),
              "min -0.5, max 16: refused: Not supported pointer of meter.");
}
