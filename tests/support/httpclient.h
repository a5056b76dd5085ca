#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

// A deliberately plain HTTP/1.1 client over a blocking socket: one request,
// then everything the server sends until it closes.
struct HttpReply
{
    int status = 0;         // 0 when nothing usable came back
    std::string headers;
    std::string body;

    std::string header(const std::string &name) const
    {
        const std::string key = "\r\n" + name + ": ";
        const size_t at = headers.find(key);
        if (at == std::string::npos)
            return {};
        const size_t from = at + key.size();
        return headers.substr(from, headers.find("\r\n", from) - from);
    }
};

inline int connectTo(int port, const char *ip = "127.0.0.1")
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval limit{30, 0};   // a hung server fails the test instead of hanging it
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, ip, &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything until the server closes; false when it never does.
inline bool readToEnd(int fd, std::string *received = nullptr)
{
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        if (received)
            received->append(buffer, static_cast<size_t>(n));
    }
    return n == 0 || errno == ECONNRESET;
}

inline HttpReply sendRaw(int port, const std::string &raw)
{
    HttpReply reply;
    const int fd = connectTo(port);
    if (fd < 0)
        return reply;
    ::send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
    std::string received;
    readToEnd(fd, &received);
    ::close(fd);

    const size_t split = received.find("\r\n\r\n");
    if (received.rfind("HTTP/1.", 0) != 0 || split == std::string::npos)
        return reply;
    reply.status = std::stoi(received.substr(9, 3));
    reply.headers = received.substr(0, split + 2);
    reply.body = received.substr(split + 4);
    return reply;
}

inline std::string postRequest(const std::string &path, const std::string &body)
{
    return "POST " + path + " HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\nContent-Length: "
           + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

inline HttpReply post(int port, const std::string &path, const std::string &body)
{
    return sendRaw(port, postRequest(path, body));
}

// A port nobody listens on at the moment of asking.
inline int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}
