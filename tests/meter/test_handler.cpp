#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include "jsontext.h"
#include "localhttpserver.h"
#include "messagecapture.h"
#include "imagefile.h"
#include "meterreaderhandler.h"
#include "queueitem.h"

namespace {

QString fixture(const char *name)
{
    return QStringLiteral(DIALVANE_FIXTURE_DIR "/%1.bin").arg(QLatin1String(name));
}

// A PNG header alone: it declares a size, but decodes to nothing.
QByteArray pngHeader(quint32 width, quint32 height)
{
    QByteArray png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\0\0\0\0\0\x08\x02\0\0\0\0\0\0\0", 33);
    qToBigEndian(width, png.data() + 16);
    qToBigEndian(height, png.data() + 20);
    return png;
}

// The fixture pair's needle: 0.37 along the arc, 0.3697 along interval 3's chord.
constexpr double FIXTURE_READING = 0.3697;

struct Reply
{
    std::string json;
    double value = 0.0;
    std::string error;
    std::string printed;   // by the engine meanwhile: a failed run is reported on standard output
};

class Handler : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        // The fixture models report 640 x 640 model pixels; this maps them one to one.
        std::vector<uchar> png;
        cv::imencode(".png", cv::Mat(640, 640, CV_8UC3, cv::Scalar(40, 80, 120)), png);
        m_photo = QByteArray(reinterpret_cast<const char *>(png.data()), static_cast<int>(png.size()));
        m_photoPath = pathOf(m_photo, "photo.png");
    }

    void load(const char *dial = "dial_pose", const char *needle = "needle_obb")
    {
        m_handler = std::make_unique<MeterReaderHandler>();
        ASSERT_TRUE(m_handler->init(fixture(dial), fixture(needle)));
    }

    // Puts a request through handleItem as the poller would and reads the reply.
    Reply ask(const std::string &request)
    {
        JsonContext ctx;
        QueueItem item;
        *item.request = ctx.parse(request);
        *item.response = value(ctx.get());
        Reply reply;
        testing::internal::CaptureStdout();
        m_handler->handleItem(&item);
        reply.printed = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(item.isCompleted()) << request;

        const value &response = *item.response;
        reply.json = JsonContext::text(response);
        if (response.has("value"))
            reply.value = static_cast<double>(response["value"]);
        if (response.has("error"))
            reply.error = static_cast<const char *>(response["error"]);
        return reply;
    }
    Reply askPath(const std::string &path) { return ask(R"({"image_path":")" + path + R"("})"); }

    std::string pathOf(const QByteArray &bytes, const char *name)
    {
        const QString path = m_dir.filePath(QLatin1String(name));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        return path.toStdString();
    }

    QTemporaryDir m_dir;
    QByteArray m_photo;   // a PNG
    std::string m_photoPath;
    std::unique_ptr<MeterReaderHandler> m_handler = std::make_unique<MeterReaderHandler>();
};

} // namespace

TEST_F(Handler, ReadsThePictureByPathByBase64AndByUrl)
{
    load();
    const Reply byPath = askPath(m_photoPath);
    EXPECT_NEAR(byPath.value, FIXTURE_READING, 0.002);
    // A success still carries "error", after "value".
    EXPECT_EQ(byPath.json.rfind(R"({"value":)", 0), 0u) << byPath.json;
    EXPECT_NE(byPath.json.find(R"(,"error":""})"), std::string::npos) << byPath.json;

    const Reply byData = ask(R"({"image_data":")" + m_photo.toBase64().toStdString() + R"("})");
    EXPECT_EQ(byData.value, byPath.value);
    EXPECT_EQ(byData.error, "");

    LocalHttpServer server;
    ASSERT_TRUE(server.isListening());
    server.respond(QStringLiteral("/cams/gauge.png"), 200, m_photo);
    // Any letter case of the scheme counts as a URL.
    const QString url = server.url(QStringLiteral("/cams/gauge.png")).toString().replace(QLatin1String("http"), QLatin1String("hTtP"));
    const Reply byUrl = askPath(url.toStdString());
    EXPECT_EQ(byUrl.error, "");
    EXPECT_EQ(byUrl.value, byPath.value);

    // Over the limits is refused from the header (the robustness suite sends
    // bombs by path and base64).
    server.respond(QStringLiteral("/huge.png"), 200, pngHeader(30000, 30000));
    EXPECT_EQ(askPath(server.url(QStringLiteral("/huge.png")).toString().toStdString()).json,
              R"({"error":"Image of 30000x30000 pixels is over the limit of 20000 pixels a side and 100 megapixels."})");
}

TEST_F(Handler, RefusesPicturesItCannotRead)
{
    const std::string request = R"({"image_path":")" + m_photoPath + R"(","min":3,"max":3})";

    load("empty_pose", "needle_obb");
    // No dial outranks min not below max.
    EXPECT_EQ(ask(request).json, R"({"value":0,"error":"There are no meter detected in the image."})");

    load("two_dials", "needle_obb");
    EXPECT_EQ(ask(request).error, "There are more than one meters in the image. Now only support one meter.");

    // A dial without a scale placed on it is no meter to read, but from 0.4
    // on a second dial beside one; under it, the placed dial is read.
    load("dial_unplaced", "needle_obb");
    EXPECT_EQ(ask(request).json, R"({"value":0,"error":"There are no meter detected in the image."})");
    EXPECT_EQ(askPath(m_photoPath).json, R"({"value":0,"error":"There are no meter detected in the image."})");
    load("dial_beside_unplaced", "needle_obb");
    EXPECT_EQ(askPath(m_photoPath).error, "There are more than one meters in the image. Now only support one meter.");
    load("dial_beside_weak_unplaced", "needle_obb");
    const Reply weak = askPath(m_photoPath);
    EXPECT_EQ(weak.error, "");
    EXPECT_NEAR(weak.value, FIXTURE_READING, 0.002);

    load("dial_pose", "empty_obb");
    EXPECT_EQ(askPath(m_photoPath).json, R"({"value":0,"error":"Not supported pointer of meter."})");

    // A file that is no picture, or a header within the limits with no pixels,
    // never reaches the detectors.
    load();
    const char *const none = R"({"value":0,"error":"There are no meter detected in the image."})";
    EXPECT_EQ(askPath(pathOf("these are not pixels", "notes.jpg")).json, none);
    EXPECT_EQ(askPath(pathOf(pngHeader(10000, 10000), "within.png")).json, none);
    EXPECT_EQ(ask(R"({"image_data":")" + pngHeader(10000, 10000).toBase64().toStdString() + R"("})").json,
              R"({"error":"Invalid base64 encoded data."})");
}

TEST_F(Handler, AnswersBadRequestsWithTheirMessages)
{
    // None of these reach the detectors, so no models are loaded.
    for (const char *request : {"{}", R"("a string body")", R"({"image_data":""})", R"({"Image_Path":"/tmp/x.png"})"})
        EXPECT_EQ(ask(request).json, R"({"value":0,"error":"Either image_path or image_data is empty."})") << request;
    const std::pair<const char *, const char *> cases[] = {
        {R"({"image_path":""})", R"({"error":"File  does not exist."})"},
        {R"({"image_path":"/no/such/file.png"})", R"({"error":"File /no/such/file.png does not exist."})"},
        // Not http or https: a local path like any other.
        {R"({"image_path":"ftp://example.com/a.png"})", R"({"error":"File ftp://example.com/a.png does not exist."})"},
        // A number as the path is read in its text form.
        {R"({"image_path":42})", R"({"error":"File 42 does not exist."})"},
        {R"({"image_data":"abc$"})", R"({"error":"Invalid base64 encoded data."})"},
        {R"({"image_data":"QUJDREVG"})", R"({"error":"Invalid base64 encoded data."})"},   // decodes, but to "ABCDEF"
    };
    for (const auto &[request, json] : cases)
        EXPECT_EQ(ask(request).json, json);
}

// The geometry reads key points by their place, so a model of another layout
// is refused at load, with the reason logged, instead of reading every gauge wrong.
TEST(HandlerLoad, RefusesAModelThatStatesAnotherContract)
{
    const MessageCapture log;
    const struct
    {
        const char *dial, *needle, *refused, *why;
    } cases[] = {
        {"dial_few_points", "needle_obb", "dial", "it has 4 key points where this engine reads 14."},
        {"pose_c5", "needle_obb", "dial", "it has 0 key points where this engine reads 14."},
        {"dial_pose_layout_2", "needle_obb", "dial", "it states dialvane.layout 2 where this engine reads 1."},
        {"dial_pose_tip_tail_swapped", "needle_obb", "dial", "it states dialvane.keypoint_order pivot,needle_tail,needle_tip,"},
        {"dial_pose_input_960", "needle_obb", "dial", "it states dialvane.input_size 960 where this engine reads 640."},
        {"dial_pose_score_zero", "needle_obb", "dial", R"(it states a threshold that is no number in (0, 1]: score "0", nms_iou "")"},
        {"dial_pose", "needle_obb_layout_2", "needle", "it states dialvane.layout 2 where this engine reads 1."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.refused == std::string("dial") ? c.dial : c.needle);
        MeterReaderHandler handler;
        EXPECT_FALSE(handler.init(fixture(c.dial), fixture(c.needle)));
        const QString model = fixture(c.refused == std::string("dial") ? c.dial : c.needle);
        EXPECT_EQ(log.matching(QStringLiteral("The %1 model %2 is refused: %3").arg(QLatin1String(c.refused), model, QLatin1String(c.why))).size(), 1);
    }
}

// A pair stating the exported contract reads as one that states nothing, and a
// threshold a model states is the one it is read with.
TEST_F(Handler, ReadsWithTheThresholdsAModelStates)
{
    load("dial_pose_stating", "needle_obb_stating");
    EXPECT_NEAR(askPath(m_photoPath).value, FIXTURE_READING, 0.002);
    // At 0.1 the far candidates (0.2 and 0.15) are a second dial.
    load("dial_pose_score_low", "needle_obb");
    EXPECT_EQ(askPath(m_photoPath).error, "There are more than one meters in the image. Now only support one meter.");
}

// Only a regular file is read, checked on the descriptor that is read (a FIFO,
// /dev/zero and a folder are sent by the robustness suite).
TEST_F(Handler, ReadsOnlyRegularFiles)
{
    const std::string socketPath = m_dir.filePath("camera.sock").toStdString();
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
    const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(askPath(socketPath).error, "File " + socketPath + " is not a regular file.");
    ::close(listening);

    // A link to a regular file reads as the file.
    const std::string link = m_dir.filePath("link.png").toStdString();
    ASSERT_EQ(::symlink(m_photoPath.c_str(), link.c_str()), 0);
    load();
    EXPECT_EQ(askPath(link).json, askPath(m_photoPath).json);

    // No bigger than a body may be; sparse, so the test writes nothing.
    const QString big = m_dir.filePath("big.png");
    QFile bigFile(big);
    ASSERT_TRUE(bigFile.open(QIODevice::WriteOnly) && bigFile.resize(imagefile::MAX_FILE_BYTES + 1));
    bigFile.close();
    EXPECT_EQ(askPath(big.toStdString()).error,
              "File " + big.toStdString() + " is larger than " + std::to_string(imagefile::MAX_FILE_BYTES) + " bytes.");
}

// Under a folder policy every way out ("..", a link, /proc) is refused with the
// same words, whether or not the file exists, so no refusal tells which files are there.
TEST_F(Handler, ReadsLocalPathsOnlyWhereThePolicyAllows)
{
    load();
    const QString allowed = m_dir.filePath("cameras");
    ASSERT_TRUE(QDir().mkpath(allowed + "/north"));
    const std::string inside = pathOf(m_photo, "cameras/north/gauge.png");
    const std::string reading = askPath(inside).json;
    const std::string outsidePhoto = m_photoPath;
    const std::string escape = allowed.toStdString() + "/out.png";
    ASSERT_EQ(::symlink(outsidePhoto.c_str(), escape.c_str()), 0);

    imagefile::PathPolicy policy;
    policy.folders = {m_dir.filePath("elsewhere"), allowed};
    m_handler->setPathPolicy(policy);
    EXPECT_EQ(askPath(inside).json, reading);
    EXPECT_EQ(askPath(allowed.toStdString() + "/north/../north/gauge.png").json, reading);
    for (const std::string &path :
         {outsidePhoto, std::string("/no/such/file.png"), escape, allowed.toStdString() + "/../photo.png",
          allowed.toStdString() + "/north/../../photo.png", allowed.toStdString() + "x/photo.png",
          std::string("/proc/self/root") + outsidePhoto, std::string("/etc/passwd")})
        EXPECT_EQ(askPath(path).json, R"({"error":"File )" + path
                                          + R"( is outside the folders this server reads images from."})");
    EXPECT_EQ(askPath(allowed.toStdString() + "/north/missing.png").error,
              "File " + allowed.toStdString() + "/north/missing.png does not exist.");

    policy.allowed = false;
    m_handler->setPathPolicy(policy);
    EXPECT_EQ(askPath(inside).json, R"({"error":"Local image paths are turned off on this server."})");
    const Reply byData = ask(R"({"image_data":")" + m_photo.toBase64().toStdString() + R"("})");
    EXPECT_EQ(byData.error, "");
}

// A long strip is shrunk onto a canvas of MAX_CANVAS_SIDE and still reads: a
// reading is a fraction of the span, whatever the scale of the picture.
TEST_F(Handler, ReadsALongStripShrunkOntoItsCanvas)
{
    cv::Mat strip(100, 20000, CV_8UC3);
    cv::randu(strip, 0, 256);
    const QString path = m_dir.filePath("strip.png");
    ASSERT_TRUE(cv::imwrite(path.toStdString(), strip));
    ASSERT_EQ(imagefile::readImageFile(path).size(), cv::Size(8192, 8192));

    load();
    const Reply reply = askPath(path.toStdString());
    EXPECT_EQ(reply.error, "");
    EXPECT_NEAR(reply.value, askPath(m_photoPath).value, 0.002);
}

// Min and max, numbers or text, are read in single precision; one not finite
// there is refused, and so is a span that overflows: no reply carries NaN or inf.
TEST_F(Handler, MapsTheFractionOntoFiniteMinAndMax)
{
    load();
    const double f = askPath(m_photoPath).value;
    const auto reading = [&](const std::string &minMax) {
        const Reply reply = ask(R"({"image_path":")" + m_photoPath + R"(",)" + minMax + "}");
        const QString text = QString::fromStdString(reply.json).toLower();
        EXPECT_FALSE(text.contains("nan") || text.contains("inf")) << reply.json;
        return reply;
    };
    EXPECT_FLOAT_EQ(reading(R"("min":-10,"max":40)").value, static_cast<float>(f) * 50.0f - 10.0f);
    EXPECT_FLOAT_EQ(reading(R"("min":"-10","max":"40.0")").value, static_cast<float>(f) * 50.0f - 10.0f);
    EXPECT_EQ(reading(R"("min":null)").value, f);
    for (const char *minMax : {R"("min":true)", R"("min":5,"max":5)", R"("min":40,"max":-10)"})   // true is 1, as is max
        EXPECT_EQ(reading(minMax).json, R"({"value":0,"error":"Min value should less than max."})") << minMax;

    const std::string notFinite = R"({"value":0,"error":"Min and max should be finite numbers."})";
    for (const char *minMax : {R"("max":1e39)", R"("min":-1e39)", R"("max":"1e39")", R"("min":"-inf")", R"("max":"nan")"})
        EXPECT_EQ(reading(minMax).json, notFinite) << minMax;
    const std::string data = R"({"image_data":")" + m_photo.toBase64().toStdString() + R"(","max":"inf"})";
    EXPECT_EQ(ask(data).json, notFinite);

    // The largest float and a value that rounds to it are finite.
    const Reply largest = reading(R"("max":3.4028235e38)");
    EXPECT_EQ(largest.error, "");
    EXPECT_NEAR(largest.value / 3.4028235e38, FIXTURE_READING, 0.002);
    EXPECT_EQ(reading(R"("max":3.5e38)").json, notFinite);

    EXPECT_EQ(reading(R"("min":-3e38,"max":3e38)").json, R"({"value":0,"error":"The reading is not a finite number."})");
    // A span just within range still reads.
    const Reply wide = reading(R"("min":-1.5e38,"max":1.5e38)");
    EXPECT_EQ(wide.error, "");
    EXPECT_TRUE(std::isfinite(wide.value));
}

// A run that fails inside ONNX Runtime (the *_fails_bright fixtures, on a bright
// picture) is answered as nothing found, and the handler goes on serving.
using FailingModels = Handler;

TEST_F(FailingModels, AFailedRunIsAnsweredAndTheNextRequestServed)
{
    const std::string bright = m_dir.filePath("bright.png").toStdString();
    ASSERT_TRUE(cv::imwrite(bright, cv::Mat(640, 640, CV_8UC3, cv::Scalar::all(255))));
    load();
    const std::string reading = askPath(m_photoPath).json;

    const struct
    {
        const char *dial;
        const char *needle;
        const char *failedReply;
    } cases[] = {
        {"dial_pose_fails_bright", "needle_obb", R"({"value":0,"error":"There are no meter detected in the image."})"},
        {"dial_pose", "needle_obb_fails_bright", R"({"value":0,"error":"Not supported pointer of meter."})"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.dial) + " with " + c.needle);
        load(c.dial, c.needle);
        for (int round = 0; round < 2; ++round) {
            const Reply failed = askPath(bright);
            EXPECT_EQ(failed.json, c.failedReply);
            EXPECT_NE(failed.printed.find("inference failed"), std::string::npos) << failed.printed;

            const Reply next = askPath(m_photoPath);
            EXPECT_EQ(next.json, reading);
            EXPECT_EQ(next.printed, "");
        }
    }
}
