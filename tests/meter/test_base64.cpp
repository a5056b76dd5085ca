#include "base64.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include <QRandomGenerator>

namespace {

void expectMalformed(const QByteArray &text, bool removeLineFeeds = false)
{
    try {
        base64Decode(text, removeLineFeeds);
        ADD_FAILURE() << "accepted: " << text.toStdString();
    } catch (const std::invalid_argument &e) {
        EXPECT_EQ(std::string(e.what()), "Input is not valid base64-encoded data.") << text.toStdString();
    }
}

QByteArray allByteValues()
{
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(static_cast<char>(i));
    return bytes;
}

} // namespace

TEST(Base64, MinusAndUnderscoreDecodeLikePlusAndSlash)
{
    const QByteArray data = allByteValues();
    const QByteArray standard = data.toBase64();
    const QByteArray urlSafe = data.toBase64(QByteArray::Base64UrlEncoding);
    ASSERT_TRUE(standard.contains('+') && standard.contains('/'));
    ASSERT_TRUE(urlSafe.contains('-') && urlSafe.contains('_'));

    EXPECT_EQ(base64Decode(standard).toStdString(), data.toStdString());
    EXPECT_EQ(base64Decode(urlSafe).toStdString(), data.toStdString());
    EXPECT_EQ(base64Decode("+-/_").toStdString(), base64Decode("++//").toStdString());
}

TEST(Base64, FullStopsPadLikeEqualsSigns)
{
    EXPECT_EQ(base64Decode("QQ==").toStdString(), "A");
    EXPECT_EQ(base64Decode("QQ..").toStdString(), "A");
    EXPECT_EQ(base64Decode("QUI=").toStdString(), "AB");
    EXPECT_EQ(base64Decode("QUI.").toStdString(), "AB");
    // Padding closes only its own group; the next one is still decoded.
    EXPECT_EQ(base64Decode("QQ==QUI.").toStdString(), "AAB");
    // Without padding a short last group is complete as it is.
    EXPECT_EQ(base64Decode("QQ").toStdString(), "A");
    EXPECT_EQ(base64Decode("QUI").toStdString(), "AB");
    EXPECT_TRUE(base64Decode("").isEmpty());
}

TEST(Base64, LineFeedsAndBlanksAreRejected)
{
    expectMalformed("QUJD\nREVG");
    expectMalformed("QUJDREVG\n");
    expectMalformed("QUJD REVG");
    expectMalformed("QUJD\tREVG");
    expectMalformed("QUJD REVG", true);

    EXPECT_EQ(base64Decode("QUJD\nREVG\n", true).toStdString(), "ABCDEF");
    // Wrapped text as a mail or PEM encoder writes it.
    const QByteArray data = allByteValues();
    QByteArray wrapped;
    const QByteArray encoded = data.toBase64();
    for (qsizetype i = 0; i < encoded.size(); i += 76)
        wrapped += encoded.mid(i, 76) + '\n';
    EXPECT_EQ(base64Decode(wrapped, true).toStdString(), data.toStdString());
}

TEST(Base64, MalformedTextThrows)
{
    expectMalformed("Q");
    expectMalformed("QUJDR");        // one character left over
    expectMalformed("QUJDR\n", true);
    expectMalformed("QU*D");
    expectMalformed("=QUJ");         // padding where a value is needed
    expectMalformed("Q=QU");
    expectMalformed(QByteArray("QU\0D", 4));
    expectMalformed("QU\xc3\xa9");   // non-ASCII bytes
}

TEST(Base64, RoundTripsRandomBytes)
{
    QRandomGenerator random(20240611);
    const QByteArray::Base64Options options[] = {
        QByteArray::Base64Encoding,
        QByteArray::Base64UrlEncoding,
        QByteArray::Base64Encoding | QByteArray::OmitTrailingEquals,
        QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals,
    };
    for (int length = 0; length <= 64; ++length) {
        QByteArray data(length, Qt::Uninitialized);
        for (char &c : data)
            c = static_cast<char>(random.bounded(256));
        for (const auto option : options) {
            const QByteArray text = data.toBase64(option);
            EXPECT_EQ(base64Decode(text).toStdString(), data.toStdString())
                << "length " << length << ", text " << text.toStdString();
        }
    }
}
