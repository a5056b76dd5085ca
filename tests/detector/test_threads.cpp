#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "onnxuposedetector.h"
#include "testsupport.h"

namespace {

const char *const VARIABLE = "DIALVANE_ORT_THREADS";

int processThreads()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Threads:") {
            int count = 0;
            status >> count;
            return count;
        }
    }
    return -1;
}

struct Loaded
{
    int extraThreads = -1;  // threads the loaded session added to the process
    std::string log;
    size_t results = 0;
};

// Loads the key-point fixture with the variable set (cleared at null), runs
// it once and counts the threads while the session is alive.
Loaded loadWith(const char *value)
{
    if (value)
        ::setenv(VARIABLE, value, 1);
    else
        ::unsetenv(VARIABLE);
    LogCapture log;
    Loaded loaded;
    const int before = processThreads();
    OnnxUPoseDetector detector;
    detector.init(wide(fixturePath("dial_pose.bin")));   // a failed init finds nothing below
    const cv::Mat image(640, 640, CV_8UC3, cv::Scalar::all(0));
    const auto results = detector.inference({DetectImage{0, image.data, image.cols, image.rows}});
    loaded.results = results.empty() ? 0 : results[0].size();
    loaded.extraThreads = processThreads() - before;
    loaded.log = log.text();
    return loaded;
}

} // namespace

// A positive count sizes each session's pool (the calling thread is one of
// them); anything else is refused with one warning and changes nothing.
TEST(Threads, EnvironmentSizesTheIntraOpPool)
{
    // The first load also starts process-wide pools (OpenCV's) that stay.
    loadWith(nullptr);
    const Loaded unset = loadWith(nullptr);
    ASSERT_GE(unset.extraThreads, 0) << unset.log;
    EXPECT_GE(unset.results, 1u);
    EXPECT_EQ(unset.log.find("[warning]"), std::string::npos) << unset.log;

    const Loaded one = loadWith("1");
    const Loaded three = loadWith("3");
    EXPECT_EQ(one.results, unset.results);
    EXPECT_EQ(three.results, unset.results);
    EXPECT_EQ(three.extraThreads - one.extraThreads, 2);
    EXPECT_EQ(one.log.find("[warning]"), std::string::npos) << one.log;

    for (const char *invalid : {"0", "-2", "abc", "4 ", "+4", "2.5", "257", "99999999999999999999"}) {
        SCOPED_TRACE(invalid);
        const Loaded refused = loadWith(invalid);
        EXPECT_EQ(refused.results, unset.results) << refused.log;
        EXPECT_EQ(refused.extraThreads, unset.extraThreads);
        const size_t warning = refused.log.find("[warning]");
        EXPECT_TRUE(warning != std::string::npos && warning == refused.log.rfind("[warning]")) << refused.log;
        EXPECT_NE(refused.log.find(std::string(VARIABLE) + "=\"" + invalid + "\""), std::string::npos)
            << refused.log;
    }

    // Set but empty is the same as unset.
    const Loaded empty = loadWith("");
    ::unsetenv(VARIABLE);
    EXPECT_EQ(empty.extraThreads, unset.extraThreads);
    EXPECT_EQ(empty.log.find("[warning]"), std::string::npos) << empty.log;
}
