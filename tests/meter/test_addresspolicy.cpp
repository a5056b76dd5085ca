#include "addresspolicy.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QString>

namespace {

std::string text(const std::optional<QHostAddress> &address)
{
    return address ? address->toString().toStdString() : "none";
}

} // namespace

// Each block's first and last address, and its neighbours on either side
// where those are public, so that an off-by-one prefix shows.
TEST(AddressPolicy, RefusesTheLocalHostAndItsNetworksByEveryForm)
{
    const struct { const char *address; bool isPublic; } cases[] = {
        {"0.0.0.0", false}, {"0.255.255.255", false}, {"1.0.0.0", true},
        {"9.255.255.255", true}, {"10.0.0.0", false}, {"10.255.255.255", false}, {"11.0.0.0", true},
        {"100.63.255.255", true}, {"100.64.0.0", false}, {"100.127.255.255", false}, {"100.128.0.0", true},
        {"126.255.255.255", true}, {"127.0.0.1", false}, {"127.255.255.254", false}, {"128.0.0.0", true},
        {"169.253.255.255", true}, {"169.254.169.254", false}, {"169.255.0.0", true},
        {"172.15.255.255", true}, {"172.16.0.0", false}, {"172.31.255.255", false}, {"172.32.0.0", true},
        {"192.167.255.255", true}, {"192.168.0.1", false}, {"192.168.255.255", false}, {"192.169.0.0", true},
        {"8.8.8.8", true}, {"223.255.255.255", true},
        {"224.0.0.1", false}, {"239.255.255.255", false},   // multicast
        {"240.0.0.1", false}, {"255.255.255.255", false},   // reserved, broadcast

        {"::", false}, {"::1", false},
        {"::127.0.0.1", false}, {"::8.8.8.8", false},   // IPv4-compatible, deprecated
        {"::ffff:127.0.0.1", false}, {"::ffff:10.1.2.3", false}, {"::ffff:169.254.169.254", false},
        {"::ffff:0.0.0.0", false}, {"::ffff:8.8.8.8", true},
        {"64:ff9b::7f00:1", false}, {"64:ff9b::192.168.1.1", false}, {"64:ff9b::8.8.8.8", true},
        {"64:ff9b:1::8.8.8.8", false},   // local-use NAT64
        {"2002:7f00:1::", false}, {"2002:a9fe:a9fe::1", false}, {"2002:c0a8:101:1::1", false},
        {"2002:808:808::1", true},
        {"2001::1", false}, {"2001:0:4136:e378:8000:63bf:3fff:fdd2", false},   // Teredo
        {"2001:1::1", true}, {"2001:4860:4860::8888", true}, {"2606:4700:4700::1111", true},
        {"fbff:ffff::1", true}, {"fc00::1", false}, {"fd12:3456::1", false},
        {"fe80::1", false}, {"fe80::1%2", false}, {"febf::1", false}, {"fec0::1", false}, {"feff::1", false},
        {"ff02::1", false}, {"ff0e::1", false},
    };
    for (const auto &c : cases) {
        const QHostAddress address(QString::fromLatin1(c.address));
        ASSERT_FALSE(address.isNull()) << c.address;
        EXPECT_EQ(addresspolicy::isPublic(address), c.isPublic) << c.address;
    }

    EXPECT_FALSE(addresspolicy::isPublic(QHostAddress()));
}

// The forms that reached loopback past a check on the URL's text, and the
// texts that only look numeric: those go to a lookup, whose answer the
// connected-address check judges.
TEST(AddressPolicy, ReadsNumericHostsAsTheResolverDoes)
{
    const struct { QString host; const char *address; } cases[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"2130706433", "127.0.0.1"}, {"0x7f000001", "127.0.0.1"}, {"0X7F000001", "127.0.0.1"},
        {"0177.0.0.1", "127.0.0.1"}, {"0177.0000.0.01", "127.0.0.1"}, {"0x7f.1", "127.0.0.1"},
        {"127.1", "127.0.0.1"}, {"127.0.1", "127.0.0.1"}, {"10.0x10203", "10.1.2.3"},
        {"0", "0.0.0.0"}, {"4294967295", "255.255.255.255"},
        {"::1", "::1"}, {"[::1]", "::1"}, {"[::ffff:127.0.0.1]", "::ffff:127.0.0.1"},
        {"::ffff:7f00:1", "::ffff:127.0.0.1"}, {"2002:7f00:1::", "2002:7f00:1::"},

        {"example.com", "none"}, {"localhost", "none"},
        {"127.0.0.1.", "none"}, {"127.0.0.1 ", "none"}, {" 127.0.0.1", "none"}, {"127.0.0.1x", "none"},
        {"08.1.1.1", "none"}, {"0x.1", "none"}, {"1.2.3.256", "none"}, {"1.2.65536", "none"},
        {"4294967296", "none"}, {"1.2.3.4.5", "none"}, {"1..2", "none"}, {"-1", "none"},
        {QString::fromUtf8("\xef\xbc\x91\xef\xbc\x92\xef\xbc\x97.0.0.1"), "none"},   // full-width digits
        {QStringLiteral("127.0.0.1") + QChar(0) + QStringLiteral(".example.com"), "none"},
        {"", "none"}, {"[]", "none"}, {"[::1", "none"}, {"::ffff:127.1", "none"}, {"1::2::3", "none"},
        {QString(300, QLatin1Char('1')), "none"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(text(addresspolicy::numericHost(c.host)), c.address) << c.host.toStdString();
}
