#include "base64.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

TEST(Base64, DecodesEitherAlphabetAndPadding)
{
    const struct { QByteArray text; std::string data; } cases[] = {
        {"+/+/", "\xfb\xff\xbf"}, {"-_-_", "\xfb\xff\xbf"},
        {"QQ==", "A"}, {"QQ..", "A"}, {"QUI.", "AB"},
        {"QQ==QUI.", "AAB"},   // padding closes only its own group
        {"QQ", "A"}, {"QUI", "AB"}, {"", ""},   // so does the end of the text
    };
    for (const auto &c : cases)
        EXPECT_EQ(base64Decode(c.text).toStdString(), c.data) << c.text.toStdString();
    EXPECT_EQ(base64Decode("QUJD\nREVG\n", true).toStdString(), "ABCDEF");
}

TEST(Base64, MalformedTextThrows)
{
    const struct { QByteArray text; bool removeLineFeeds; } cases[] = {
        {"QUJD\nREVG", false}, {"QUJDREVG\n", false}, {"QUJD REVG", false}, {"QUJD\tREVG", false}, {"QUJD REVG", true},
        {"Q", false}, {"QUJDR", false}, {"QUJDR\n", true},   // six bits cannot make a byte
        {"=QUJ", false}, {"Q=QU", false},                     // padding where a value is needed
        {"QU*D", false}, {QByteArray("QU\0D", 4), false}, {"QU\xc3\xa9", false},
    };
    for (const auto &c : cases) {
        try {
            base64Decode(c.text, c.removeLineFeeds);
            ADD_FAILURE() << "accepted: " << c.text.toStdString();
        } catch (const std::invalid_argument &e) {
            EXPECT_EQ(std::string(e.what()), "Input is not valid base64-encoded data.") << c.text.toStdString();
        }
    }
}

