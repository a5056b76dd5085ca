#include <array>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "letterbox.h"
#include "onnxuyolodetector.h"
#include "testsupport.h"

namespace {

const cv::Size INPUT(640, 640);
const cv::Vec3b IMAGE_COLOR(10, 20, 30);
const cv::Vec3b PAD(114, 114, 114);

// Top, bottom, left, right.
using Borders = std::array<int, 4>;

// Measures the padding fit() added around a uniformly coloured image.
Borders bordersOf(const cv::Mat &boxed)
{
    Borders b{0, 0, 0, 0};
    const int midX = boxed.cols / 2, midY = boxed.rows / 2;
    while (b[0] < boxed.rows && boxed.at<cv::Vec3b>(b[0], midX) == PAD) ++b[0];
    while (b[1] < boxed.rows && boxed.at<cv::Vec3b>(boxed.rows - 1 - b[1], midX) == PAD) ++b[1];
    while (b[2] < boxed.cols && boxed.at<cv::Vec3b>(midY, b[2]) == PAD) ++b[2];
    while (b[3] < boxed.cols && boxed.at<cv::Vec3b>(midY, boxed.cols - 1 - b[3]) == PAD) ++b[3];
    return b;
}

} // namespace

TEST(Letterbox, FitsEveryShapeIntoTheInput)
{
    const struct
    {
        cv::Size source;
        Borders expected;
    } cases[] = {
        {{1920, 1080}, {140, 140, 0, 0}},  // r = 1/3, scaled to 640 x 360
        {{640, 457}, {91, 92, 0, 0}},      // no resize; the odd pixel goes to the bottom
        {{320, 240}, {80, 80, 0, 0}},      // enlarged: r = 2
        {{457, 640}, {0, 0, 91, 92}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.source);
        const cv::Mat image(c.source, CV_8UC3, cv::Scalar(IMAGE_COLOR[0], IMAGE_COLOR[1], IMAGE_COLOR[2]));
        const cv::Mat boxed = letterbox::fit(image, INPUT);
        ASSERT_EQ(boxed.size(), INPUT);
        EXPECT_EQ(bordersOf(boxed), c.expected);
        EXPECT_EQ(boxed.at<cv::Vec3b>(320, 320), IMAGE_COLOR);
    }
}

TEST(Letterbox, BlobIsRgbScaledWithGreyPadding)
{
    OnnxUYoloDetector detector;
    ASSERT_TRUE(detector.init(wide(fixturePath("yolo_cases.bin"))));

    cv::Mat image(457, 640, CV_8UC3, cv::Scalar(51, 102, 255));  // B, G, R
    const cv::Mat original = image.clone();
    const cv::Mat blob = detector.preprocess({image});
    ASSERT_EQ(blob.dims, 4);
    EXPECT_EQ(cv::norm(image, original, cv::NORM_INF), 0.0) << "the caller's pixels must not change";

    const auto at = [&](int channel, int y, int x) { return blob.at<float>(cv::Vec4i(0, channel, y, x)); };
    EXPECT_FLOAT_EQ(at(0, 300, 300), 1.0f);        // plane 0 is red
    EXPECT_FLOAT_EQ(at(1, 300, 300), 0.4f);
    EXPECT_FLOAT_EQ(at(2, 300, 300), 0.2f);
    for (int channel = 0; channel < 3; ++channel) {
        EXPECT_FLOAT_EQ(at(channel, 0, 0), 114.0f / 255.0f);
        EXPECT_FLOAT_EQ(at(channel, 639, 639), 114.0f / 255.0f);
    }
}

// Training letterboxes its pictures with a copy of fit()'s arithmetic; a
// picture boxed one row differently there than here is a different picture.
// The copy's scaled size and pads, for about 600 sizes, must be the
// engine's own.
TEST(Letterbox, TrainingBoxesEverySizeAsTheEngineDoes)
{
    cv::FileStorage cases(DIALVANE_FIXTURE_DIR "/letterbox_cases.json", cv::FileStorage::READ);
    ASSERT_TRUE(cases.isOpened());
    int checked = 0;
    for (const cv::FileNode &c : cases["cases"]) {
        std::vector<int> v;
        c >> v;
        ASSERT_EQ(v.size(), 9u);
        const cv::Mat boxed = letterbox::fit(cv::Mat(v[1], v[0], CV_8UC3, cv::Scalar(10, 20, 30)), cv::Size(v[2], v[2]));
        // Where the picture landed: every pixel that is not the pad's.
        cv::Mat pad;
        cv::inRange(boxed, PAD, PAD, pad);
        std::vector<cv::Point> picture;
        cv::findNonZero(~pad, picture);
        const cv::Rect at = cv::boundingRect(picture);
        const Borders pads{at.y, boxed.rows - at.y - at.height, at.x, boxed.cols - at.x - at.width};
        const Borders expected{v[5], v[6], v[7], v[8]};
        EXPECT_EQ(pads, expected) << v[0] << "x" << v[1] << " into " << v[2];
        EXPECT_EQ(cv::Size(v[3], v[4]), at.size()) << v[0] << "x" << v[1] << " into " << v[2];
        ++checked;
    }
    EXPECT_GT(checked, 600);
}
