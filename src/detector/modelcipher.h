#pragma once

#include <array>
#include <cstdint>
#include <string>

// The model-file format: hex text of the AES-128-CTR ciphertext of an ONNX
// model, with the first and the last character of the text exchanged.
namespace modelcipher {

using Block = std::array<uint8_t, 16>;

// AES-128 in counter mode with the whole 16-byte block as a big-endian
// counter; encryption and decryption are the same operation. No padding.
std::string aes128Ctr(const std::string &data, const Block &key, const Block &iv);

// Hex text (any non-hex character skipped) to model bytes, with the built-in
// key and IV. Never throws; a damaged text gives damaged or empty bytes.
std::string decryptModel(const std::string &text);

// Model bytes to the file text, ready to be written as is.
std::string encryptModel(const std::string &modelBytes);

// Reads a model file and returns the model bytes; empty when the file cannot
// be read or holds nothing.
std::string readModelFile(const std::string &path);

} // namespace modelcipher
