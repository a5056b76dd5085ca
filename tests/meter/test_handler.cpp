#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include "jsontext.h"
#include "localhttpserver.h"
#include "meterreaderhandler.h"
#include "queueitem.h"

namespace {

QString fixture(const char *name)
{
    return QStringLiteral(DIALVANE_FIXTURE_DIR "/%1.bin").arg(QLatin1String(name));
}

// Where the fixture pair puts the needle: 0.37 of the span along the arc,
// which the straight interval 3 of the scale reads as about 0.3697.
constexpr double FIXTURE_READING = 0.3697;

struct Reply
{
    std::string json;
    bool hasValue = false;
    double value = 0.0;
    std::string error;
};

class Handler : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        // The fixture models report key points in model pixels of a 640 x 640
        // input; a 640 x 640 picture maps them back one to one.
        m_photo = cv::Mat(640, 640, CV_8UC3, cv::Scalar(40, 80, 120));
        m_photoPath = m_dir.filePath("photo.png").toStdString();
        cv::imwrite(m_photoPath, m_photo);
    }

    // Loads a model pair into a fresh handler.
    void load(const char *dial = "dial_pose", const char *needle = "needle_obb")
    {
        m_handler = std::make_unique<MeterReaderHandler>();
        ASSERT_TRUE(m_handler->init(fixture(dial), fixture(needle)));
    }

    // Puts a request through handleItem as the poller would and reads the reply.
    Reply ask(const std::string &request)
    {
        if (!m_handler)
            m_handler = std::make_unique<MeterReaderHandler>();
        JsonContext ctx;
        QueueItem item;
        *item.request = ctx.parse(request);
        *item.response = value(ctx.get());
        m_handler->handleItem(&item);
        EXPECT_TRUE(item.isCompleted()) << request;

        Reply reply;
        const value &response = *item.response;
        reply.json = JsonContext::text(response);
        reply.hasValue = response.has("value");
        if (reply.hasValue)
            reply.value = static_cast<double>(response["value"]);
        if (response.has("error"))
            reply.error = static_cast<const char *>(response["error"]);
        return reply;
    }

    std::string base64Of(const cv::Mat &image, const char *extension = ".png") const
    {
        std::vector<uchar> bytes;
        cv::imencode(extension, image, bytes);
        return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<int>(bytes.size()))
            .toBase64()
            .toStdString();
    }

    QTemporaryDir m_dir;
    cv::Mat m_photo;
    std::string m_photoPath;
    std::unique_ptr<MeterReaderHandler> m_handler;
};

} // namespace

TEST_F(Handler, ReadsThePictureByPathAndByBase64)
{
    load();
    const Reply byPath = ask(R"({"image_path":")" + m_photoPath + R"("})");
    EXPECT_TRUE(byPath.hasValue);
    EXPECT_EQ(byPath.error, "");
    EXPECT_NEAR(byPath.value, FIXTURE_READING, 0.002);
    // A success still carries "error", after "value".
    EXPECT_EQ(byPath.json.rfind(R"({"value":)", 0), 0u) << byPath.json;
    EXPECT_NE(byPath.json.find(R"(,"error":""})"), std::string::npos) << byPath.json;

    const Reply byData = ask(R"({"image_data":")" + base64Of(m_photo) + R"("})");
    EXPECT_EQ(byData.value, byPath.value);
    EXPECT_EQ(byData.error, "");

    // A picture narrower than tall goes onto a square canvas, its top-left
    // corner at the origin: 640 x 400 reads like 640 x 640.
    const std::string wide = m_dir.filePath("wide.jpg").toStdString();
    cv::imwrite(wide, cv::Mat(400, 640, CV_8UC3, cv::Scalar::all(200)));
    EXPECT_EQ(ask(R"({"image_path":")" + wide + R"("})").value, byPath.value);
}

TEST_F(Handler, ReadsThePictureByUrl)
{
    load();
    const double expected = ask(R"({"image_path":")" + m_photoPath + R"("})").value;

    QFile png(QString::fromStdString(m_photoPath));
    ASSERT_TRUE(png.open(QIODevice::ReadOnly));
    LocalHttpServer server;
    ASSERT_TRUE(server.isListening());
    server.respond(QStringLiteral("/cams/gauge.png"), 200, png.readAll());

    // Any letter case of the scheme counts as a URL.
    const QString url = server.url(QStringLiteral("/cams/gauge.png")).toString().replace(QLatin1String("http"), QLatin1String("hTtP"));
    const Reply reply = ask(R"({"image_path":")" + url.toStdString() + R"("})");
    EXPECT_EQ(reply.error, "");
    EXPECT_EQ(reply.value, expected);

    const std::string missing = server.url(QStringLiteral("/cams/none.png")).toString().toStdString();
    const Reply failed = ask(R"({"image_path":")" + missing + R"("})");
    EXPECT_FALSE(failed.hasValue);
    EXPECT_EQ(failed.error.rfind("Download from " + missing
                                     + " failed, because of: Network error during synchronous download: ", 0),
              0u)
        << failed.error;
}

TEST_F(Handler, MapsTheFractionOntoMinAndMax)
{
    load();
    const double f = ask(R"({"image_path":")" + m_photoPath + R"("})").value;
    const auto reading = [&](const std::string &minMax) {
        return ask(R"({"image_path":")" + m_photoPath + R"(",)" + minMax + "}");
    };
    EXPECT_FLOAT_EQ(reading(R"("min":-10,"max":40)").value, static_cast<float>(f) * 50.0f - 10.0f);
    EXPECT_FLOAT_EQ(reading(R"("min":"-10","max":"40.0")").value, static_cast<float>(f) * 50.0f - 10.0f);
    EXPECT_EQ(reading(R"("min":null)").value, f);
    EXPECT_EQ(reading(R"("min":true)").error, "Min value should less than max.");        // 1 and the default 1
    EXPECT_EQ(reading(R"("min":5,"max":5)").error, "Min value should less than max.");
    const Reply flipped = reading(R"("min":40,"max":-10)");
    EXPECT_EQ(flipped.json, R"({"value":0,"error":"Min value should less than max."})");
}

TEST_F(Handler, RefusesPicturesItCannotRead)
{
    const std::string request = R"({"image_path":")" + m_photoPath + R"(","min":3,"max":3})";

    load("empty_pose", "needle_obb");
    // No dial outranks min not below max.
    EXPECT_EQ(ask(request).json, R"({"value":0,"error":"There are no meter detected in the image."})");

    load("pose_c5", "needle_obb");
    EXPECT_EQ(ask(request).error, "There are more than one meters in the image. Now only support one meter.");

    load("dial_pose", "empty_obb");
    const std::string good = R"({"image_path":")" + m_photoPath + R"("})";
    EXPECT_EQ(ask(good).json, R"({"value":0,"error":"Not supported pointer of meter."})");

    // Four key points make no scale.
    load("dial_few_points", "needle_obb");
    EXPECT_EQ(ask(good).error, "There are no meter detected in the image.");

    // A file that exists but is no picture never reaches the detectors.
    load();
    const QString notAnImage = m_dir.filePath("notes.jpg");
    QFile file(notAnImage);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("these are not pixels");
    file.close();
    EXPECT_EQ(ask(R"({"image_path":")" + notAnImage.toStdString() + R"("})").json,
              R"({"value":0,"error":"There are no meter detected in the image."})");
}

TEST_F(Handler, AnswersBadRequestsWithTheirMessages)
{
    // None of these reach the detectors, so no models are loaded.
    const char *const empty = R"({"value":0,"error":"Either image_path or image_data is empty."})";
    EXPECT_EQ(ask("{}").json, empty);
    EXPECT_EQ(ask(R"("a string body")").json, empty);
    EXPECT_EQ(ask(R"({"image_data":""})").json, empty);
    EXPECT_EQ(ask(R"({"Image_Path":"/tmp/x.png"})").json, empty);

    EXPECT_EQ(ask(R"({"image_path":""})").json, R"({"error":"File  does not exist."})");
    EXPECT_EQ(ask(R"({"image_path":"/no/such/file.png"})").json, R"({"error":"File /no/such/file.png does not exist."})");
    // Not http or https: a local path like any other.
    EXPECT_EQ(ask(R"({"image_path":"ftp://example.com/a.png"})").error, "File ftp://example.com/a.png does not exist.");
    // A number as the path is read in its text form.
    EXPECT_EQ(ask(R"({"image_path":42})").error, "File 42 does not exist.");

    const char *const invalid = R"({"error":"Invalid base64 encoded data."})";
    EXPECT_EQ(ask(R"({"image_data":"abc$"})").json, invalid);
    EXPECT_EQ(ask(R"({"image_data":"QUJDREVG"})").json, invalid);   // decodes, but to "ABCDEF"
    EXPECT_EQ(ask(R"({"image_data":"Q"})").json, invalid);
}
