#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <QCoreApplication>
#include <QStringList>
#include <QTemporaryDir>

#include "enqueueworker.h"
#include "eventloop.h"
#include "httpclient.h"
#include "messagecapture.h"
#include "meterreaderhandler.h"
#include "queuepoller.h"
#include "wsserver.h"
#include "wsserverpropertyset.h"

namespace {

const char *const JSON_TYPE = "application/json; charset=utf-8";

// Runs `call` on another thread while this one serves the event loop, where
// the handler runs, as it does in the application.
template <class Call>
auto whileServing(Call call) -> decltype(call())
{
    auto pending = std::async(std::launch::async, call);
    pumpUntil([&] { return pending.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
              std::numeric_limits<int>::max());
    return pending.get();
}

class Http : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_log = new MessageCapture;
        s_dir = new QTemporaryDir;
        s_photo = s_dir->filePath("photo.png").toStdString();
        cv::imwrite(s_photo, cv::Mat(640, 640, CV_8UC3, cv::Scalar(30, 60, 90)));

        s_handler = new MeterReaderHandler;
        ASSERT_TRUE(s_handler->init(QStringLiteral(DIALVANE_FIXTURE_DIR "/dial_pose.bin"),
                                    QStringLiteral(DIALVANE_FIXTURE_DIR "/needle_obb.bin")));
        s_server = new WSServer;
        s_settings = new WSServerPropertySet(s_server);
        s_port = freePort();
        s_settings->port->setValue(s_port);
        s_server->setPropertySet(s_settings);
        s_server->setWorkerFactory(
            [](struct soap *context, const std::string &path) { return new EnqueueWorker(context, path); });

        SingletonDclp<QueuePoller>::create();
        QObject::connect(QueuePoller::instance(), &QueuePoller::sig_itemavailable, s_handler,
                         &MeterReaderHandler::handleItem, Qt::QueuedConnection);
        s_server->start();
        s_handler->start();
        QueuePoller::instance()->start();
        pumpUntil([] { return !s_log->matching(QStringLiteral("Server running on port:")).isEmpty(); });
    }

    static void TearDownTestSuite()
    {
        s_server->stop();
        SingletonDclp<QueuePoller>::destroy();
        s_handler->quit();
        s_handler->wait();
        // Finished workers are deleted through the event loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        delete s_server;
        delete s_handler;
        delete s_dir;
        delete s_log;
    }

    static HttpReply ask(const std::string &path, const std::string &body)
    {
        return whileServing([&] { return post(s_port, path, body); });
    }

    static inline MessageCapture *s_log = nullptr;   // every message since the suite started
    static inline QTemporaryDir *s_dir = nullptr;
    static inline std::string s_photo;
    static inline MeterReaderHandler *s_handler = nullptr;
    static inline WSServer *s_server = nullptr;
    static inline WSServerPropertySet *s_settings = nullptr;
    static inline int s_port = 0;
};

} // namespace

TEST_F(Http, ServesAReadingAndCountsConnectionsFromOne)
{
    const HttpReply reply = ask("/endpoint", R"({"image_path":")" + s_photo + R"(","min":0,"max":10})");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Content-Type"), JSON_TYPE);
    EXPECT_EQ(reply.body.rfind(R"({"value":3.6)", 0), 0u) << reply.body;
    EXPECT_NE(reply.body.find(R"(,"error":""})"), std::string::npos) << reply.body;

    // This suite makes the process's first connection.
    EXPECT_EQ(s_log->matching(QStringLiteral("accepted connection")).value(0),
              QStringLiteral("1: accepted connection from IP=127.0.0.1"));
    ask("/endpoint", "{}");
    EXPECT_EQ(s_log->matching(QStringLiteral("accepted connection")).value(1),
              QStringLiteral("2: accepted connection from IP=127.0.0.1"));
    for (const char *line : {"handle_request \n", "enqueue one item", "Got one queue item", "Send response successfully."})
        EXPECT_FALSE(s_log->matching(QString::fromLatin1(line)).isEmpty()) << line;
}

TEST_F(Http, WrongPathsAreRefusedWithTheBodyAsDetails)
{
    const struct
    {
        const char *path;
        const char *body;
        const char *details;
    } cases[] = {
        {"/Endpoint", "{}", ""},
        {"/endpoint?x=1", R"({"image_path":"a.png"})", ""},
        {"/other", R"("abc")", "abc"},
        {"/other", "true", "true"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path + std::string(" ") + c.body);
        const HttpReply reply = ask(c.path, c.body);
        EXPECT_EQ(reply.status, 400);
        EXPECT_EQ(reply.header("Content-Type"), JSON_TYPE);
        EXPECT_EQ(reply.body, std::string(R"({"error":{"code":400,"message":"Wrong Path","errors":[{"message":")")
                                  + c.details + R"("}]}})");
    }
    // The log stream quotes the text it is handed.
    EXPECT_EQ(s_log->matching(QStringLiteral("\"request path  /Endpoint error.\"")).size(), 1);
}

TEST_F(Http, ReceiveFailuresGetTheEngineFault)
{
    // Malformed JSON is a syntax error whatever the path.
    for (const char *path : {"/endpoint", "/elsewhere"}) {
        const HttpReply reply = ask(path, R"({"image_path" 1})");
        EXPECT_EQ(reply.status, 500);
        EXPECT_EQ(reply.header("Content-Type"), JSON_TYPE);
        EXPECT_EQ(reply.body.rfind(R"({"error":{"code":5,)", 0), 0u) << reply.body;
    }

    // A body cut short and none at all end the input at once.
    const char *const endOfInput = R"({"error":{"code":-1,)";
    EXPECT_EQ(ask("/endpoint", R"({"image_path": )").body.rfind(endOfInput, 0), 0u);
    const HttpReply noBody = whileServing([] { return sendRaw(s_port, "POST /endpoint HTTP/1.1\r\nHost: x\r\n\r\n"); });
    EXPECT_EQ(noBody.status, 500);
    EXPECT_EQ(noBody.body.rfind(endOfInput, 0), 0u) << noBody.body;

    const HttpReply get = whileServing([] { return sendRaw(s_port, "GET /endpoint HTTP/1.1\r\nHost: x\r\n\r\n"); });
    EXPECT_EQ(get.status, 500);
    EXPECT_EQ(get.header("Content-Type"), JSON_TYPE);
    EXPECT_EQ(get.body.rfind(R"({"error":{"code":15,"message":"HTTP GET method not implemented")", 0), 0u) << get.body;
    EXPECT_FALSE(s_log->matching(QStringLiteral("receive json request failed.")).isEmpty());
}

TEST_F(Http, ManyClientsAtOnceAreAllAnswered)
{
    const std::string body = R"({"image_path":")" + s_photo + R"("})";
    const HttpReply single = ask("/endpoint", body);
    ASSERT_EQ(single.status, 200);

    std::vector<HttpReply> replies = whileServing([&] {
        std::vector<std::future<HttpReply>> clients;
        for (int i = 0; i < 100; ++i)
            clients.push_back(std::async(std::launch::async, [&] { return post(s_port, "/endpoint", body); }));
        std::vector<HttpReply> out;
        for (auto &client : clients)
            out.push_back(client.get());
        return out;
    });
    for (const HttpReply &reply : replies) {
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, single.body);
    }
}

TEST_F(Http, AClientThatLeavesEarlyDisturbsNothing)
{
    // The request is queued, then its client resets the connection before the
    // handler (on this thread) has run: the reply goes to a dead socket,
    // which must neither raise SIGPIPE nor stop the service.
    for (int i = 0; i < 3; ++i) {
        const int fd = connectTo(s_port);
        ASSERT_GE(fd, 0);
        const std::string request = postRequest("/endpoint", R"({"image_path":")" + s_photo + R"("})");
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::usleep(50 * 1000);
        ::close(fd);
    }
    const HttpReply after = ask("/endpoint", R"({"image_path":")" + s_photo + R"("})");
    EXPECT_EQ(after.status, 200);
    EXPECT_NE(after.body.find(R"("error":"")"), std::string::npos);
}
