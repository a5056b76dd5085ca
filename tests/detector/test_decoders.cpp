#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "onnxuobbdetector.h"
#include "onnxuposedetector.h"
#include "onnxuyolodetector.h"
#include "testsupport.h"

namespace {

// The fixtures hold model coordinates of a 640 x 640 input; an image of that
// size maps them back one to one.
std::vector<DetectResultList> runOn(OnnxDetector &detector, const cv::Mat &image)
{
    return detector.inference({DetectImage{0, image.data, image.cols, image.rows}});
}

cv::Mat blank(int width = 640, int height = 640)
{
    return cv::Mat(height, width, CV_8UC3, cv::Scalar::all(0));
}

template <class Detector>
void load(Detector &detector, const std::string &name, float score)
{
    ASSERT_TRUE(detector.init(wide(fixturePath(name + ".bin")))) << name;
    detector.scoreThreshold = score;
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

    // A blob made for a model of another input size is not read out of shape.
    const OnnxDetector::Prepared smaller{cv::Mat(std::vector<int>{1, 3, 320, 320}, CV_32F, cv::Scalar(0.5)),
                                         {image.size()}};
    results = detector.run(smaller);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].empty());
    EXPECT_NE(log.text().find("blob of shape [1,3,320,320]"), std::string::npos) << log.text();
    // One made for this model serves it as inference() would, bad calls or not.
    EXPECT_EQ(detector.run(detector.prepare({{0, image.data, 640, 640}}))[0].size(), 3u);
}

TEST(Decoders, MapModelPixelsBackThroughTheLetterbox)
{
    OnnxUPoseDetector pose;
    load(pose, "letterbox_pose", 0.5f);
    OnnxUOBBDetector obb;
    load(obb, "letterbox_obb", 0.5f);
    OnnxUYoloDetector yolo;
    load(yolo, "letterbox_yolo", 0.5f);

    const struct
    {
        cv::Size source;
        cv::Rect poseBox;
        std::vector<cv::Point> keyPoints;
        std::vector<cv::Point> corners;
        cv::Rect yoloBox;
    } cases[] = {
        {{1920, 1080},
         {30, 30, 90, 180},
         {{301, 182}, {30, -1}, {1919, 1499}},
         {{868, 1}, {868, -61}, {1051, -61}, {1051, 1}},
         {843, -147, 123, 63}},
        {{1080, 1920},
         {-390, 450, 90, 180},
         {{-118, 602}, {-390, 418}, {1499, 1919}},
         {{448, 421}, {448, 358}, {631, 358}, {631, 421}},
         {423, 273, 123, 63}},
        {{320, 240},
         {5, 35, 15, 30},
         {{50, 60}, {5, 29}, {319, 279}},
         {{144, 30}, {144, 19}, {175, 19}, {175, 30}},
         {141, 6, 21, 11}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.source);
        const cv::Mat picture = blank(c.source.width, c.source.height);

        const auto dials = runOn(pose, picture);
        ASSERT_EQ(dials.at(0).size(), 1u);
        EXPECT_EQ(dials[0][0].box, c.poseBox);
        EXPECT_EQ(cornersOf(dials[0][0]), c.keyPoints);
        for (size_t i = 0; i < dials[0][0].points.size(); ++i)
            EXPECT_FLOAT_EQ(dials[0][0].points[i].score, 0.8f - 0.1f * i) << i;

        const auto needles = runOn(obb, picture);
        ASSERT_EQ(needles.at(0).size(), 1u);
        EXPECT_EQ(cornersOf(needles[0][0]), c.corners);

        const auto boxes = runOn(yolo, picture);
        ASSERT_EQ(boxes.at(0).size(), 1u);
        EXPECT_EQ(boxes[0][0].box, c.yoloBox);
    }
}
