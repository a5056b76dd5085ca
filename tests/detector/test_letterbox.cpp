#include <array>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "letterbox.h"
#include "onnxuyolodetector.h"
#include "testsupport.h"

namespace {

const cv::Vec3b PAD(114, 114, 114);

// Top, bottom, left, right.
using Borders = std::array<int, 4>;

} // namespace

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
