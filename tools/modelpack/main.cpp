// modelpack: converts between an .onnx file and the encrypted model-file format.
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "modelcipher.h"

namespace {

int usage()
{
    std::cerr << "usage: modelpack encrypt in.onnx out.bin\n"
                 "       modelpack decrypt in.bin out.onnx\n";
    return 2;
}

bool readAll(const std::string &path, std::string &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool writeAll(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4)
        return usage();
    const std::string command = argv[1];
    const std::string in = argv[2];
    const std::string out = argv[3];

    std::string result;
    if (command == "encrypt") {
        std::string model;
        if (!readAll(in, model) || model.empty()) {
            std::cerr << "modelpack: cannot read a model from " << in << "\n";
            return 1;
        }
        result = modelcipher::encryptModel(model);
    } else if (command == "decrypt") {
        result = modelcipher::readModelFile(in);
        if (result.empty()) {
            std::cerr << "modelpack: no model bytes in " << in << "\n";
            return 1;
        }
    } else {
        return usage();
    }

    if (!writeAll(out, result)) {
        std::cerr << "modelpack: cannot write " << out << "\n";
        return 1;
    }
    return 0;
}
