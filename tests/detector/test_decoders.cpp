#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "onnxuobbdetector.h"
#include "onnxuposedetector.h"
#include "testsupport.h"

namespace {

// The fixtures hold model coordinates of a 640 x 640 input; an image of that
// size maps them back one to one.
std::vector<DetectResultList> runOn(OnnxDetector &detector, const cv::Mat &image)
{
    return detector.inference({DetectImage{0, image.data, image.cols, image.rows}});
}

cv::Mat blank(int width = 640, int height = 640, int value = 0)
{
    return cv::Mat(height, width, CV_8UC3, cv::Scalar::all(value));
}

template <class Detector>
void load(Detector &detector, const std::string &name, float score, float nms = 0.5f)
{
    ASSERT_TRUE(detector.init(wide(fixturePath(name + ".bin")))) << name;
    detector.scoreThreshold = score;
    detector.nmsThreshold = nms;
}

std::vector<cv::Point> cornersOf(const DetectResult &r)
{
    std::vector<cv::Point> out;
    for (const DetectPoint &p : r.points)
        out.emplace_back(p.x, p.y);
    return out;
}

} // namespace

TEST(Decoders, OrientedBoxes)
{
    OnnxUOBBDetector detector;
    load(detector, "obb_cases", 0.25f);
    const auto results = runOn(detector, blank());
    ASSERT_EQ(results.size(), 1u);
    const DetectResultList &r = results[0];

    // Kept in descending score: the 90-degree class-1 box, the truncated box
    // (its identical weaker twin suppressed), the one just above threshold.
    // The one at exactly the threshold and the all-negative row are gone.
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].classId, 1);
    EXPECT_FLOAT_EQ(r[0].score, 0.95f);
    EXPECT_EQ(r[1].classId, 0);
    EXPECT_FLOAT_EQ(r[1].score, 0.9f);
    EXPECT_EQ(r[2].classId, 1);
    EXPECT_GT(r[2].score, 0.25);

    // Centre (100, 50), 30 x 10, 0 degrees, corners in RotatedRect::points order.
    EXPECT_EQ(cornersOf(r[1]), (std::vector<cv::Point>{{85, 55}, {85, 45}, {115, 45}, {115, 55}}));
    // Centre (300, 300), 60 x 10 turned 90 degrees stands upright.
    EXPECT_EQ(cornersOf(r[0]), (std::vector<cv::Point>{{295, 270}, {305, 270}, {305, 330}, {295, 330}}));
}

// A pose layout with no key points at all (5 values per candidate).
TEST(Decoders, KeyPoints)
{
    OnnxUPoseDetector c5;
    load(c5, "pose_c5", 0.2f);
    auto results = runOn(c5, blank());
    ASSERT_EQ(results[0].size(), 2u);
    EXPECT_EQ(results[0][0].box, cv::Rect(85, 50, 31, 20));
    EXPECT_TRUE(results[0][0].points.empty());
    EXPECT_EQ(results[0][1].box, cv::Rect(375, 375, 50, 50));
}

TEST(Decoders, BadCallsAreRefusedWithoutCrashing)
{
    OnnxUYoloDetector detector;
    load(detector, "yolo_cases", 0.5f);
    const cv::Mat image = blank();
    LogCapture log;

    // Batch size 1: two images, or none, are refused.
    EXPECT_EQ(detector.inference({}).size(), 0u);
    auto results = detector.inference({{0, image.data, 640, 640}, {0, image.data, 640, 640}});
    ASSERT_EQ(results.size(), 2u);
    EXPECT_TRUE(results[0].empty() && results[1].empty());

    for (const DetectImage &bad : {DetectImage{0, image.data, 0, 640}, DetectImage{0, image.data, 640, 0},
                                   DetectImage{0, nullptr, 640, 640}, DetectImage{0, image.data, -5, 10}}) {
        results = detector.inference({bad});
        ASSERT_EQ(results.size(), 1u);
        EXPECT_TRUE(results[0].empty());
    }
    EXPECT_NE(log.text().find("refused"), std::string::npos) << log.text();

    // The detector still works afterwards.
    EXPECT_EQ(runOn(detector, image)[0].size(), 3u);
}

