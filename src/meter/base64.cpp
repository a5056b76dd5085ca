#include "base64.h"

#include <array>
#include <stdexcept>

namespace {

constexpr int INVALID = -1;

[[noreturn]] void fail()
{
    throw std::invalid_argument("Input is not valid base64-encoded data.");
}

constexpr std::array<int, 256> makeValueTable()
{
    std::array<int, 256> table{};
    for (int &v : table)
        v = INVALID;
    for (int i = 0; i < 26; ++i) {
        table['A' + i] = i;
        table['a' + i] = 26 + i;
    }
    for (int i = 0; i < 10; ++i)
        table['0' + i] = 52 + i;
    table['+'] = table['-'] = 62;
    table['/'] = table['_'] = 63;
    return table;
}

constexpr std::array<int, 256> VALUES = makeValueTable();

int valueOf(char c)
{
    const int v = VALUES[static_cast<unsigned char>(c)];
    if (v == INVALID)
        fail();
    return v;
}

bool isPadding(char c)
{
    return c == '=' || c == '.';
}

} // namespace

QByteArray base64Decode(const QByteArray &text, bool removeLineFeeds)
{
    // Const, so that indexing never detaches (copies) borrowed text.
    const QByteArray in = removeLineFeeds ? QByteArray(text).replace('\n', QByteArray()) : text;

    const qsizetype len = in.size();
    QByteArray out;
    if (len == 0)
        return out;
    out.reserve((len / 4) * 3);

    for (qsizetype pos = 0; pos < len; pos += 4) {
        const int v0 = valueOf(in[pos]);
        if (pos + 1 >= len)
            fail(); // one character carries only six bits, not a byte
        const int v1 = valueOf(in[pos + 1]);
        out.append(static_cast<char>((v0 << 2) + ((v1 >> 4) & 0x03)));

        // Padding in the third place ends the group without a look at the
        // fourth; decoding goes on with the next group.
        if (pos + 2 >= len || isPadding(in[pos + 2]))
            continue;
        const int v2 = valueOf(in[pos + 2]);
        out.append(static_cast<char>(((v1 << 4) & 0xff) + ((v2 >> 2) & 0x0f)));

        if (pos + 3 >= len || isPadding(in[pos + 3]))
            continue;
        const int v3 = valueOf(in[pos + 3]);
        out.append(static_cast<char>(((v2 << 6) & 0xff) + v3));
    }
    return out;
}
