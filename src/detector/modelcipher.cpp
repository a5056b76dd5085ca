#include "modelcipher.h"

#include <fstream>
#include <iterator>
#include <utility>

#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/modes.h>
#include <cryptopp/secblock.h>

namespace modelcipher {
namespace {

// 15 ASCII characters and a zero byte each.
constexpr Block MODEL_KEY = {'v', 'q', '8', 'r', 'm', 't', '2', 'k', 'z', 'x', '4', 'w', 'p', 'j', 'n', 0};
constexpr Block MODEL_IV = {'f', 'h', '3', 'k', 'q', '9', 't', 'z', '1', 'w', 'b', '7', 'x', 'm', 'c', 0};

void exchangeEnds(std::string &text)
{
    if (text.size() >= 2)
        std::swap(text.front(), text.back());
}

} // namespace

std::string aes128Ctr(const std::string &data, const Block &key, const Block &iv)
{
    // SecByteBlock wipes its copy of the key when it is released.
    const CryptoPP::SecByteBlock keyCopy(key.data(), key.size());
    CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption cipher;
    cipher.SetKeyWithIV(keyCopy, keyCopy.size(), iv.data(), iv.size());

    std::string out;
    try {
        CryptoPP::StringSource source(data, true,
            new CryptoPP::StreamTransformationFilter(cipher, new CryptoPP::StringSink(out)));
    } catch (const CryptoPP::Exception &) {
        // Counter mode has no padding to fail on; keep what was produced.
    }
    return out;
}

std::string decryptModel(const std::string &text)
{
    std::string cipherBytes;
    CryptoPP::StringSource source(text, true, new CryptoPP::HexDecoder(new CryptoPP::StringSink(cipherBytes)));
    return aes128Ctr(cipherBytes, MODEL_KEY, MODEL_IV);
}

std::string encryptModel(const std::string &modelBytes)
{
    const std::string cipherBytes = aes128Ctr(modelBytes, MODEL_KEY, MODEL_IV);
    std::string text;
    CryptoPP::StringSource source(cipherBytes, true, new CryptoPP::HexEncoder(new CryptoPP::StringSink(text)));
    exchangeEnds(text);
    return text;
}

std::string readModelFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.empty())
        return {};
    exchangeEnds(text);
    return decryptModel(text);
}

} // namespace modelcipher
