#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>

#include <QHostAddress>
#include <QString>

#include "addresspolicy.h"
#include "check.h"

namespace {

bool sameAddress(const QHostAddress &a, const QHostAddress &b)
{
    if (a.protocol() != b.protocol())
        return false;
    if (a.protocol() == QAbstractSocket::IPv4Protocol)
        return a.toIPv4Address() == b.toIPv4Address();
    const Q_IPV6ADDR x = a.toIPv6Address();
    const Q_IPV6ADDR y = b.toIPv6Address();
    return std::equal(x.c, x.c + 16, y.c);
}

Q_IPV6ADDR embedding(std::initializer_list<quint8> prefix, int at, std::uint32_t v4)
{
    Q_IPV6ADDR a{};
    std::copy(prefix.begin(), prefix.end(), a.c);
    a[at] = static_cast<quint8>(v4 >> 24);
    a[at + 1] = static_cast<quint8>(v4 >> 16);
    a[at + 2] = static_cast<quint8>(v4 >> 8);
    a[at + 3] = static_cast<quint8>(v4);
    return a;
}

} // namespace

// A URL host's text read as the resolver and as Qt read it, then judged;
// and the first bytes as a raw address, judged alone and inside each IPv6
// form that carries an IPv4 address to where the IPv4 address would go.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<QHostAddress> numeric = addresspolicy::numericHost(text);
    if (numeric)
        addresspolicy::isPublic(*numeric);
    const QHostAddress parsed(text);
    addresspolicy::isPublic(parsed);
    if (numeric && !parsed.isNull())
        check(sameAddress(*numeric, parsed), "Qt and the resolver read a numeric host alike");

    if (size >= 4) {
        const std::uint32_t v4 = std::uint32_t(data[0]) << 24 | std::uint32_t(data[1]) << 16
                                 | std::uint32_t(data[2]) << 8 | data[3];
        const bool isPublic = addresspolicy::isPublic(QHostAddress(v4));
        const QHostAddress mapped(embedding({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}, 12, v4));
        const QHostAddress nat64(embedding({0, 0x64, 0xff, 0x9b}, 12, v4));
        const QHostAddress sixToFour(embedding({0x20, 0x02}, 2, v4));
        check(addresspolicy::isPublic(mapped) == isPublic, "an IPv4-mapped address is judged as its IPv4 one");
        check(addresspolicy::isPublic(nat64) == isPublic, "a NAT64 address is judged as its IPv4 one");
        check(addresspolicy::isPublic(sixToFour) == isPublic, "a 6to4 address is judged as its IPv4 one");
    }
    if (size >= 16) {
        Q_IPV6ADDR v6;
        std::memcpy(v6.c, data, 16);
        addresspolicy::isPublic(QHostAddress(v6));
    }
    return 0;
}
