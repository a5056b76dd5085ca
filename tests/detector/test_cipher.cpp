#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "modelcipher.h"
#include "testsupport.h"

namespace {

std::string fromHex(const std::string &hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

modelcipher::Block blockFromHex(const std::string &hex)
{
    const std::string bytes = fromHex(hex);
    modelcipher::Block b{};
    std::copy(bytes.begin(), bytes.end(), b.begin());
    return b;
}

// NIST SP 800-38A, F.5.1 CTR-AES128.Encrypt.
const modelcipher::Block NIST_KEY = blockFromHex("2b7e151628aed2a6abf7158809cf4f3c");
const modelcipher::Block NIST_COUNTER = blockFromHex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
const std::string NIST_PLAIN = fromHex(
    "6bc1bee22e409f96e93d7e117393172a"
    "ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef"
    "f69f2445df4f9b17ad2b417be66c3710");
const std::string NIST_CIPHER = fromHex(
    "874d6191b620e3261bef6864990db6ce"
    "9806f66b7970fdff8617187bb9fffdff"
    "5ae4df3edbd5d35e5b4f09020db03eab"
    "1e031dda2fbe03d1792170a0f3009cee");

} // namespace

TEST(Cipher, MatchesNistCounterModeVectors)
{
    EXPECT_EQ(modelcipher::aes128Ctr(NIST_PLAIN, NIST_KEY, NIST_COUNTER), NIST_CIPHER);
    EXPECT_EQ(modelcipher::aes128Ctr(NIST_CIPHER, NIST_KEY, NIST_COUNTER), NIST_PLAIN);

    // The second block runs on counter ...fdfeff + 1 = ...fdff00: the carry
    // crosses a byte boundary, so a counter kept in the last byte alone fails.
    const modelcipher::Block second = blockFromHex("f0f1f2f3f4f5f6f7f8f9fafbfcfdff00");
    EXPECT_EQ(modelcipher::aes128Ctr(NIST_PLAIN.substr(16, 16), NIST_KEY, second), NIST_CIPHER.substr(16, 16));
}

TEST(Cipher, PackerRoundTripsAndFailsWithoutOutput)
{
    const std::string onnx = fixturePath("dial_pose.onnx");
    const std::string packed = testing::TempDir() + "roundtrip.bin";
    const std::string unpacked = testing::TempDir() + "roundtrip.onnx";
    const std::string tool = DIALVANE_MODELPACK;

    ASSERT_EQ(std::system((tool + " encrypt " + onnx + " " + packed).c_str()), 0);
    ASSERT_EQ(std::system((tool + " decrypt " + packed + " " + unpacked).c_str()), 0);
    EXPECT_EQ(readFile(unpacked), readFile(onnx));

    // Usage errors and unreadable input give a failing exit status, no output file.
    const std::string missingOut = testing::TempDir() + "never.bin";
    std::remove(missingOut.c_str());
    EXPECT_NE(std::system((tool + " encrypt /nonexistent.onnx " + missingOut + " 2>/dev/null").c_str()), 0);
    EXPECT_FALSE(std::ifstream(missingOut).good());
}
