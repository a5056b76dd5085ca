#include "service.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <QElapsedTimer>
#include <QTemporaryDir>

#include "eventloop.h"
#include "httpclient.h"
#include "messagecapture.h"
#include "queue.h"
#include "runningservice.h"

namespace {

const char *const READ = R"({"value":3.6)";
const std::string SHUT_DOWN = std::string(R"({"error":")") + Queue::SHUTTING_DOWN + "\"}";

// Ends the process when a call it guards has not returned by the deadline,
// so that a shutdown that hangs fails the run instead of stalling it.
class Watchdog
{
public:
    Watchdog(int seconds, const char *what)
        : m_thread([this, seconds, what] {
            std::unique_lock<std::mutex> lock(m_lock);
            if (!m_done.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_returned; })) {
                std::fprintf(stderr, "%s did not return within %d s\n", what, seconds);
                std::abort();
            }
        })
    {
    }
    ~Watchdog()
    {
        {
            const std::lock_guard<std::mutex> lock(m_lock);
            m_returned = true;
        }
        m_done.notify_one();
        m_thread.join();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_done;
    bool m_returned = false;
    std::thread m_thread;
};

HttpReply served(int port, const std::string &body)
{
    return whileServing([&] { return post(port, "/endpoint", body); });
}

// Connections that send nothing, each already taken by a worker.
std::vector<int> stalledConnections(int port, int count, const MessageCapture &log)
{
    const int accepted = log.matching(QStringLiteral("accepted connection")).size();
    std::vector<int> sockets;
    for (int i = 0; i < count; ++i)
        sockets.push_back(connectTo(port));
    EXPECT_TRUE(waitUntil([&] { return log.matching(QStringLiteral("accepted connection")).size() >= accepted + count; }));
    return sockets;
}

class ServiceTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir;
        s_photo = s_dir->filePath("photo.png").toStdString();
        cv::imwrite(s_photo, cv::Mat(640, 640, CV_8UC3, cv::Scalar(30, 60, 90)));
    }
    static void TearDownTestSuite() { delete s_dir; }

    static std::string photoRequest() { return R"({"image_path":")" + s_photo + R"(","max":10})"; }

    static inline QTemporaryDir *s_dir = nullptr;
    static inline std::string s_photo;
};

} // namespace

// Requests caught by stop() in every place they can be: one in the handler's
// hand, the rest in the queue, connections that have sent nothing yet, and
// one that reaches the queue once it has closed. The first is still read,
// the others are told the service is going away, the idle ones are closed,
// and stop() returns; nothing is left open.
TEST_F(ServiceTest, StopAnswersEveryRequestInFlightAndReturns)
{
    MessageCapture log;
    RunningService running;
    const int metricsPort = freePort();
    running.settings().metricsPort->setValue(metricsPort);
    ASSERT_TRUE(running.start());
    const int port = running.port();
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
    const std::vector<int> idle = stalledConnections(port, 20, log);

    QElapsedTimer took;
    took.start();
    {
        const Watchdog watchdog(30, "Service::stop()");
        running.service().stop();
    }
    EXPECT_LT(took.elapsed(), 5000);
    EXPECT_EQ(running.service().state(), Service::State::Stopped);

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

// start() and stop() may come twice, and stop() before start(); a Service
// without models does not start, as its handler could read nothing. The
// queue and its poller are the process's, so a second Service is refused
// while one runs, without disturbing it; each request is read exactly once;
// and once the first has stopped, a new one serves, not the closed queue.
TEST_F(ServiceTest, StartAndStopRepeatSafelyAndOneServesAtATime)
{
    MessageCapture log;
    const auto readings = [&] { return log.matching(QStringLiteral(" -> read ")).size(); };
    {
        QTemporaryDir empty;
        Service modelless;
        EXPECT_FALSE(modelless.loadModels(empty.path()));
        modelless.createServer().port->setValue(freePort());
        EXPECT_FALSE(modelless.start());
        EXPECT_EQ(modelless.state(), Service::State::Idle);
        EXPECT_EQ(connectTo(modelless.port()), -1);
        EXPECT_EQ(log.matching(QStringLiteral("no models are loaded")).size(), 1);
    }
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

    RunningService next;
    ASSERT_TRUE(next.start());
    const HttpReply reply = served(next.port(), photoRequest());
    EXPECT_EQ(reply.body.rfind(READ, 0), 0u) << reply.body;
    EXPECT_EQ(readings(), 4);
}
