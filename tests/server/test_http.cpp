#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "wsjworker.h"
#include "eventloop.h"
#include "httpclient.h"
#include "messagecapture.h"
#include "queue.h"
#include "runningservice.h"
#include "wsserver.h"
#include "wsserverpropertyset.h"

namespace {

const char *const JSON_TYPE = "application/json; charset=utf-8";
const char *const READ = R"({"value":3.6)";
const std::string SHUT_DOWN = std::string(R"({"error":")") + Queue::SHUTTING_DOWN + "\"}";

HttpReply served(int port, const std::string &body)
{
    return whileServing([&] { return post(port, "/endpoint", body); });
}

// Whether a second listener, as another instance would start one, gets
// `port`: true once it listens, false as soon as it cannot.
bool anotherListenerGets(int port)
{
    WSServer server;
    WSServerPropertySet settings(&server);
    settings.port->setValue(port);
    server.setPropertySet(&settings);
    server.start();
    waitUntil([&] { return server.isListening() || server.isFinished(); });
    const bool listening = server.isListening();
    server.stop();
    return listening;
}

// Each case starts the service as the application does, after changing its
// settings or workers where the case needs to.
class Http : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_log = new MessageCapture;
        s_dir = new QTemporaryDir;
        s_photo = s_dir->filePath("photo.png").toStdString();
        cv::imwrite(s_photo, cv::Mat(640, 640, CV_8UC3, cv::Scalar(30, 60, 90)));
    }

    static void TearDownTestSuite()
    {
        // Finished workers are deleted through the event loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        delete s_dir;
        delete s_log;
    }

    HttpReply ask(const std::string &path, const std::string &body)
    {
        return whileServing([&] { return post(service.port(), path, body); });
    }
    static std::string photoRequest() { return R"({"image_path":")" + s_photo + R"(","max":10})"; }

    RunningService service;

    static inline MessageCapture *s_log = nullptr;   // every message since the suite started
    static inline QTemporaryDir *s_dir = nullptr;
    static inline std::string s_photo;
};

// A hook whose response holds numbers that JSON cannot carry.
class NonFiniteWorker : public WSJWorker
{
public:
    using WSJWorker::WSJWorker;
    bool handle_request(value &, value &response) override
    {
        response["value"] = std::numeric_limits<double>::quiet_NaN();
        response["nested"][0] = -std::numeric_limits<double>::infinity();
        return true;
    }
};

} // namespace

TEST_F(Http, ServesAReadingAndLogsItsWay)
{
    ASSERT_TRUE(service.start());
    const HttpReply reply = ask("/endpoint", R"({"image_path":")" + s_photo + R"(","min":0,"max":10})");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Content-Type"), JSON_TYPE);
    EXPECT_EQ(reply.body.rfind(R"({"value":3.6)", 0), 0u) << reply.body;
    EXPECT_NE(reply.body.find(R"(,"error":""})"), std::string::npos) << reply.body;
    // One line tells the request's whole story: where the image came from,
    // what was read, and the time it took.
    const QStringList lines = s_log->matching(QStringLiteral(": path %1 -> read 3.6").arg(QString::fromStdString(s_photo)));
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^\[not debug\] request \{[-0-9a-f]{36}\}: .* \(waited \d+ ms, read in \d+ ms\)$)"))
                    .match(lines.front())
                    .hasMatch())
        << lines.front().toStdString();
}

// Requests that never reach the handler. A wrong path is refused with the
// body as details; malformed JSON is the engine's syntax fault, and a body
// cut short or none at all ends the input at once.
TEST_F(Http, RequestsItCannotTakeAreRefusedInJson)
{
    ASSERT_TRUE(service.start());
    const std::string wrongPath = R"({"error":{"code":400,"message":"Wrong Path","errors":[{"message":")";
    const struct
    {
        std::string request;
        int status;
        std::string body;   // whole for a refusal of ours, the start of an engine fault
    } cases[] = {
        {postRequest("/Endpoint", "{}"), 400, wrongPath + R"("}]}})"},
        {postRequest("/other", R"("abc")"), 400, wrongPath + R"(abc"}]}})"},
        {postRequest("/other", "true"), 400, wrongPath + R"(true"}]}})"},
        {postRequest("/endpoint", R"({"image_path" 1})"), 500, R"({"error":{"code":5,)"},
        {postRequest("/endpoint", R"({"image_path": )"), 500, R"({"error":{"code":-1,)"},
        {"POST /endpoint HTTP/1.1\r\nHost: x\r\n\r\n", 500, R"({"error":{"code":-1,)"},
        {"GET /endpoint HTTP/1.1\r\nHost: x\r\n\r\n", 500, R"({"error":{"code":15,"message":"HTTP GET method not implemented")"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        const HttpReply reply = whileServing([&] { return sendRaw(service.port(), c.request); });
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.header("Content-Type"), JSON_TYPE);
        EXPECT_TRUE(c.status == 400 ? reply.body == c.body : reply.body.rfind(c.body, 0) == 0) << reply.body;
    }
}

TEST_F(Http, AClientThatLeavesEarlyDisturbsNothing)
{
    ASSERT_TRUE(service.start());
    // The request is queued, then its client resets the connection before the
    // handler (on this thread) has run: the reply goes to a dead socket,
    // which must neither raise SIGPIPE nor stop the service.
    for (int i = 0; i < 3; ++i) {
        const int queued = s_log->matching(QStringLiteral("enqueue one item")).size();
        const int fd = connectTo(service.port());
        ASSERT_GE(fd, 0);
        const std::string request = postRequest("/endpoint", R"({"image_path":")" + s_photo + R"("})");
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        ASSERT_TRUE(waitUntil([&] { return s_log->matching(QStringLiteral("enqueue one item")).size() > queued; }));
        linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }
    const HttpReply after = ask("/endpoint", R"({"image_path":")" + s_photo + R"("})");
    EXPECT_EQ(after.status, 200);
    EXPECT_NE(after.body.find(R"("error":"")"), std::string::npos);
}

// The listener closes its connections first, so they leave the port in
// TIME_WAIT; a server started again at once must still get it, and a second
// server must not share a port that one is listening on.
TEST_F(Http, ARestartedServerTakesItsPortBackButNeverShares)
{
    const int port = service.port();
    ASSERT_TRUE(service.start());
    EXPECT_EQ(ask("/endpoint", "{}").status, 200);

    const QString inUse = QStringLiteral("Server listening on port: %1  failed").arg(port);
    const int refusals = s_log->matching(inUse).size();
    EXPECT_FALSE(anotherListenerGets(port));
    EXPECT_EQ(s_log->matching(inUse).size(), refusals + 1);
    EXPECT_EQ(ask("/endpoint", "{}").status, 200);
    service.service().stop();

    // Ports the engine would wrap round are refused, not bound.
    for (const int outside : {-1, 65536, 70000}) {
        RunningService wrapped(outside);
        EXPECT_FALSE(wrapped.start()) << outside;
        EXPECT_EQ(wrapped.service().state(), Service::State::Down) << outside;
        EXPECT_EQ(s_log->matching(QStringLiteral("port: %1  failed, it is not within 1 to 65535").arg(outside)).size(), 1);
    }

    RunningService restarted(port);
    ASSERT_TRUE(restarted.start());
    const HttpReply reply = whileServing([&] { return post(port, "/endpoint", "{}"); });
    EXPECT_EQ(reply.status, 200) << reply.body;
}

// With a key set, only requests that carry it are served; the others get
// 401 in the shape of the other refusals, before their body is read.
TEST_F(Http, AnApiKeyLetsOnlyItsHoldersIn)
{
    QTemporaryDir dir;
    const QString keyPath = dir.filePath("key");
    QFile keyFile(keyPath);
    ASSERT_TRUE(keyFile.open(QIODevice::WriteOnly) && keyFile.write("s3cret-key\n") > 0);
    keyFile.close();
    const char *const unauthorized = R"({"error":{"code":401,"message":"Unauthorized","errors":[{"message":"the request needs the header Authorization: Bearer <key>"}]}})";
    const auto withKey = [](const std::string &authorization) {
        return "POST /endpoint HTTP/1.1\r\nHost: localhost\r\n" + authorization
               + "Content-Type: application/json\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}";
    };
    for (const bool fromFile : {false, true}) {
        SCOPED_TRACE(fromFile ? "key from a file" : "key in the settings");
        RunningService own;
        (fromFile ? own.settings().apiKeyFile : own.settings().apiKey)->setValue(fromFile ? keyPath : "s3cret-key");
        ASSERT_TRUE(own.start());
        for (const char *wrong : {"", "Authorization: Bearer s3cret-ke\r\n", "Authorization: Bearer s3cret-keyy\r\n",
                                  "Authorization: Basic czNjcmV0LWtleQ==\r\n"}) {
            const HttpReply refused = whileServing([&] { return sendRaw(own.port(), withKey(wrong)); });
            EXPECT_EQ(refused.status, 401) << wrong;
            EXPECT_EQ(refused.body, unauthorized) << wrong;
            EXPECT_EQ(refused.header("WWW-Authenticate"), "Bearer") << wrong;
        }
        const HttpReply served
            = whileServing([&] { return sendRaw(own.port(), withKey("Authorization: Bearer s3cret-key\r\n")); });
        EXPECT_EQ(served.status, 200);
        EXPECT_EQ(served.body, R"({"value":0,"error":"Either image_path or image_data is empty."})");
    }

    // A key asked for but not to be had stops the start rather than serve openly.
    const struct
    {
        const char *key;
        QString file;
        const char *why;
    } broken[] = {
        {"s3cret-key", keyPath, "set apiKey or apiKeyFile, not both"},
        {"", dir.filePath("missing"), "cannot be read"},
    };
    for (const auto &b : broken) {
        RunningService own;
        own.settings().apiKey->setValue(QString::fromLatin1(b.key));
        own.settings().apiKeyFile->setValue(b.file);
        EXPECT_FALSE(own.start()) << b.why;
        EXPECT_FALSE(s_log->matching(QString::fromLatin1(b.why)).isEmpty()) << b.why;
        EXPECT_EQ(connectTo(own.port()), -1);
    }
}

TEST_F(Http, NoReplyCarriesANumberJsonCannotHold)
{
    service.service().setWorkerFactory(
        [](struct soap *context, const std::string &path) { return new NonFiniteWorker(context, path); });
    ASSERT_TRUE(service.start());
    const HttpReply reply = post(service.port(), "/endpoint", "{}");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, R"({"error":"The reply held a number that is not finite."})");
}

// Requests caught by stop() in every place they can be: one in the handler's
// hand, the rest in the queue, connections that have sent nothing yet, and
// one that reaches the queue once it has closed. The first is still read,
// the others are told the service is going away, the idle ones are closed,
// and stop() returns (a stop() that hangs runs into ctest's TIMEOUT); nothing
// is left open.
TEST_F(Http, StopAnswersEveryRequestInFlightAndReturns)
{
    MessageCapture log;
    const int metricsPort = freePort();
    service.settings().metricsPort->setValue(metricsPort);
    ASSERT_TRUE(service.start());
    const int port = service.port();
    EXPECT_EQ(sendRaw(metricsPort, "GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").status, 200);
    Queue::instance().close();
    EXPECT_EQ(post(port, "/endpoint", "{}").body, SHUT_DOWN);
    Queue::instance().reopen();

    // This thread runs the handler and serves no events until stop(), so
    // the first item stays in its hand and the others stay queued.
    const int clients = 5;
    std::vector<std::future<HttpReply>> replies;
    for (int i = 0; i < clients; ++i)
        replies.push_back(std::async(std::launch::async, [&] { return post(port, "/endpoint", photoRequest()); }));
    ASSERT_TRUE(waitUntil([&] {
        return log.matching(QStringLiteral("enqueue one item")).size() == clients
               && log.matching(QStringLiteral("Got one queue item")).size() == 1;
    }));
    // Connections that send nothing, each already taken by a worker.
    const auto accepted = [&] { return log.matching(QStringLiteral("accepted connection")).size(); };
    const qsizetype before = accepted();
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i)
        idle.push_back(connectTo(port));
    EXPECT_TRUE(waitUntil([&] { return accepted() >= before + 20; }));

    QElapsedTimer took;
    took.start();
    service.service().stop();
    EXPECT_LT(took.elapsed(), 5000);
    EXPECT_EQ(service.service().state(), Service::State::Stopped);

    int read = 0, refused = 0;
    for (auto &reply : replies) {
        ASSERT_EQ(reply.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "a client got no answer";
        const HttpReply r = reply.get();
        EXPECT_EQ(r.status, 200);
        if (r.body.rfind(READ, 0) == 0 && r.body.find(R"("error":"")") != std::string::npos)
            ++read;
        else if (r.body == SHUT_DOWN)
            ++refused;
        else
            ADD_FAILURE() << r.body;
    }
    EXPECT_EQ(read, 1);
    EXPECT_EQ(refused, clients - 1);

    // Closed, with or without a refusal first (stop() may catch one reading
    // its request line); a connection left open runs into the receive limit.
    for (const int fd : idle) {
        EXPECT_TRUE(readToEnd(fd)) << "an idle connection was left open";
        ::close(fd);
    }
    EXPECT_EQ(connectTo(port), -1) << "the port is still served";
    EXPECT_EQ(connectTo(metricsPort), -1) << "the metrics port is still served";
}

// start() and stop() may come twice, and stop() before start(). The queue and
// its poller are the process's, so a second Service is refused while one
// runs, without disturbing it; each request is read exactly once; and once
// the first has stopped, a new one serves, not the closed queue.
TEST_F(Http, StartAndStopRepeatSafelyAndOneServesAtATime)
{
    MessageCapture log;
    const auto readings = [&] { return log.matching(QStringLiteral(" -> read ")).size(); };
    {
        RunningService first;
        first.service().stop();
        EXPECT_EQ(first.service().state(), Service::State::Idle);
        ASSERT_TRUE(first.start());
        EXPECT_TRUE(first.service().start());
        EXPECT_EQ(first.service().state(), Service::State::Serving);
        {
            RunningService second;
            EXPECT_FALSE(second.start());
            EXPECT_EQ(log.matching(QStringLiteral("another one serves this process")).size(), 1);
        }
        for (int i = 0; i < 3; ++i) {
            const HttpReply reply = served(first.port(), photoRequest());
            EXPECT_EQ(reply.body.rfind(READ, 0), 0u) << reply.body;
        }
        EXPECT_EQ(readings(), 3) << "each request is read once";

        first.service().stop();
        first.service().stop();
        EXPECT_FALSE(first.service().start());
        EXPECT_EQ(first.service().state(), Service::State::Stopped);
        EXPECT_EQ(connectTo(first.port()), -1);
    }

    ASSERT_TRUE(service.start());
    const HttpReply reply = served(service.port(), photoRequest());
    EXPECT_EQ(reply.body.rfind(READ, 0), 0u) << reply.body;
    EXPECT_EQ(readings(), 4);
}
