#pragma once

#include <optional>

#include <QHostAddress>
#include <QString>

// Which addresses a download may connect to when downloads are restricted:
// only ones on the public internet. A URL's text cannot decide that (a name
// resolves to anything, a redirect goes anywhere), so the check belongs on
// each address actually connected; these functions are that check.
namespace addresspolicy {

// False for the local host and its networks: loopback, unspecified,
// private, carrier-grade NAT, link-local, multicast, broadcast and
// reserved. An IPv6 address that carries an IPv4 one (mapped, 6to4, NAT64)
// is judged by the IPv4 address; the IPv4-compatible range, Teredo and
// local-use NAT64 are refused outright. A null address is not public.
bool isPublic(const QHostAddress &address);

// The address a URL's host text names by number, read as the system's
// resolver reads a numeric host: for IPv4 that accepts inet_aton's forms
// ("2130706433", "0177.0.0.1", "0x7f.1", "127.1"), which all connect to
// 127.0.0.1. IPv6 may come in brackets. Empty for a name, which only a
// lookup can turn into addresses, and for text no resolver takes as a
// number.
std::optional<QHostAddress> numericHost(const QString &host);

} // namespace addresspolicy
