#include "addresspolicy.h"

#include <cstdint>
#include <initializer_list>
#include <memory>

#include <netdb.h>
#include <sys/socket.h>

#include <QByteArray>

namespace addresspolicy {
namespace {

struct Block
{
    std::uint32_t network;
    int prefix;
};

constexpr Block REFUSED_V4[] = {
    {0x00000000, 8},    // "this network"; connecting to 0.0.0.0 reaches the local host
    {0x0A000000, 8},    // private
    {0x64400000, 10},   // carrier-grade NAT
    {0x7F000000, 8},    // loopback
    {0xA9FE0000, 16},   // link-local, where cloud metadata services answer
    {0xAC100000, 12},   // private
    {0xC0A80000, 16},   // private
    {0xE0000000, 4},    // multicast
    {0xF0000000, 4},    // reserved, and the broadcast address
};

bool isPublicV4(std::uint32_t address)
{
    for (const Block &block : REFUSED_V4) {
        const std::uint32_t mask = ~std::uint32_t(0) << (32 - block.prefix);
        if ((address & mask) == block.network)
            return false;
    }
    return true;
}

std::uint32_t v4At(const Q_IPV6ADDR &a, int at)
{
    return std::uint32_t(a[at]) << 24 | std::uint32_t(a[at + 1]) << 16 | std::uint32_t(a[at + 2]) << 8 | a[at + 3];
}

bool startsWith(const Q_IPV6ADDR &a, std::initializer_list<quint8> prefix)
{
    int i = 0;
    for (const quint8 byte : prefix)
        if (a[i++] != byte)
            return false;
    return true;
}

bool isPublicV6(const Q_IPV6ADDR &a)
{
    // ::/96 holds ::, ::1 and the deprecated IPv4-compatible form, which
    // some stacks still route as IPv4; no public host is reached through it.
    if (startsWith(a, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}))
        return false;
    if (startsWith(a, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}))   // IPv4-mapped: a dual-stack socket connects to the IPv4 address
        return isPublicV4(v4At(a, 12));
    if (startsWith(a, {0, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0}))   // NAT64, well-known prefix
        return isPublicV4(v4At(a, 12));
    if (startsWith(a, {0, 0x64, 0xff, 0x9b, 0, 1}))   // local-use NAT64: the prefix is the operator's, the target unknown
        return false;
    if (startsWith(a, {0x20, 0x02}))   // 6to4: the relay delivers to the IPv4 address
        return isPublicV4(v4At(a, 2));
    if (startsWith(a, {0x20, 0x01, 0, 0}))   // Teredo: the embedded server and client cannot be judged from here
        return false;
    if ((a[0] & 0xfe) == 0xfc)   // unique local, fc00::/7
        return false;
    if (a[0] == 0xfe && (a[1] & 0xc0) == 0x80)   // link-local, fe80::/10
        return false;
    if (a[0] == 0xfe && (a[1] & 0xc0) == 0xc0)   // site-local, fec0::/10: deprecated, private in practice
        return false;
    if (a[0] == 0xff)   // multicast
        return false;
    return true;
}

} // namespace

bool isPublic(const QHostAddress &address)
{
    switch (address.protocol()) {
    case QAbstractSocket::IPv4Protocol:
        return isPublicV4(address.toIPv4Address());
    case QAbstractSocket::IPv6Protocol:
        return isPublicV6(address.toIPv6Address());
    default:
        return false;   // null, or Any: nothing a download connects to
    }
}

std::optional<QHostAddress> numericHost(const QString &host)
{
    // A numeric host is short; anything longer is no DNS name either.
    constexpr qsizetype MAX_HOST_BYTES = 255;
    QByteArray text = host.toUtf8();
    if (text.startsWith('[') && text.endsWith(']'))
        text = text.mid(1, text.size() - 2);
    // The resolver reads a C string: a NUL would cut the host short.
    if (text.isEmpty() || text.size() > MAX_HOST_BYTES || text.contains('\0'))
        return std::nullopt;

    // The resolver itself, kept from any lookup: its IPv4 reading is
    // inet_aton's, which a hand-written parser would only approximate.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *found = nullptr;
    if (getaddrinfo(text.constData(), nullptr, &hints, &found) != 0 || !found)
        return std::nullopt;
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> hold(found, &freeaddrinfo);
    QHostAddress address(found->ai_addr);
    if (address.isNull())
        return std::nullopt;
    return address;
}

} // namespace addresspolicy
