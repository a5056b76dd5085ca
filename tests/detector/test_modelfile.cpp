#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "onnxuobbdetector.h"
#include "onnxuposedetector.h"
#include "testsupport.h"

namespace {

const char *const INIT_FAILED = "Error: ONNX initializaton failed:";

std::string writeTemp(const std::string &name, const std::string &data)
{
    const std::string path = testing::TempDir() + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
    return path;
}

} // namespace

TEST(ModelFile, UnusableFilesFailInitCleanly)
{
    const std::string packed = readFile(fixturePath("needle_obb.bin"));
    ASSERT_GT(packed.size(), 100u);

    const struct
    {
        const char *what;
        std::string path;
    } cases[] = {
        {"missing", testing::TempDir() + "no-such-model.bin"},
        {"zero bytes", writeTemp("empty.bin", "")},
        {"no hex digits", writeTemp("nohex.bin", "xyz ghost moon\n")},
        {"truncated", writeTemp("truncated.bin", packed.substr(0, packed.size() / 2))},
        {"plain onnx, not packed", fixturePath("needle_obb.onnx")},
        {"symbolic batch", fixturePath("symbolic.bin")},
        {"wrong output name", fixturePath("wrong_names.bin")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        OnnxUOBBDetector detector;
        EXPECT_FALSE(detector.init(wide(c.path)));
        EXPECT_NE(log.text().find(INIT_FAILED), std::string::npos) << log.text();
        EXPECT_TRUE(detector.modelInputShape().empty());
        // A detector whose init failed refuses work instead of crashing.
        const std::vector<uint8_t> pixels(30 * 20 * 3, 0);
        const auto results = detector.inference({DetectImage{0, pixels.data(), 30, 20}});
        ASSERT_EQ(results.size(), 1u);
        EXPECT_TRUE(results[0].empty());
    }
}

TEST(ModelFile, InitReadsShapesAndCanBeRepeated)
{
    OnnxUPoseDetector detector;
    ASSERT_TRUE(detector.init(wide(fixturePath("dial_pose.bin"))));

    // A failed second init leaves no half-loaded session; a third succeeds.
    EXPECT_FALSE(detector.init(wide(fixturePath("symbolic.bin"))));
    EXPECT_TRUE(detector.init(wide(fixturePath("pose_c5.bin"))));
    EXPECT_EQ(detector.modelOutputShape(), (std::vector<int64_t>{1, 5, 2}));
    EXPECT_EQ(detector.keyPoints(), 0);

    // 21 values are no box, score and whole key points: refused, not cut short.
    LogCapture log;
    EXPECT_FALSE(detector.init(wide(fixturePath("pose_c21.bin"))));
    EXPECT_NE(log.text().find("is not 5 + 3 values per key point"), std::string::npos) << log.text();

    // What a model states about itself is read with it, and goes with the next load.
    ASSERT_TRUE(detector.init(wide(fixturePath("dial_pose_layout_2.bin"))));
    EXPECT_EQ(detector.keyPoints(), 14);
    EXPECT_EQ(detector.metadata("dialvane.layout"), "2");
    ASSERT_TRUE(detector.init(wide(fixturePath("dial_pose.bin"))));
    EXPECT_EQ(detector.metadata("dialvane.layout"), "");
}
