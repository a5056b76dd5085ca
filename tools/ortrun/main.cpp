// ortrun: runs an ONNX model once in the ONNX Runtime library the engine
// links, so training's export can compare its output with PyTorch's.
//
//   ortrun model.onnx input.f32 output.f32
//
// input.f32 holds the float32 values of the model's fixed input shape; the
// outputs' float32 values are written to output.f32, one after the other,
// and their element counts to output.f32.counts, a line each (quantise.py
// reads the inner tensors it made outputs so; a batch may vary with the
// picture).
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: ortrun model.onnx input.f32 output.f32\n");
        return 2;
    }
    try {
        Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "ortrun");
        env.DisableTelemetryEvents();
        Ort::SessionOptions options;
        Ort::Session session(env, argv[1], options);
        Ort::AllocatorWithDefaultOptions allocator;
        const auto inputName = session.GetInputNameAllocated(0, allocator);
        std::vector<Ort::AllocatedStringPtr> outputNames;
        std::vector<const char *> outputs;
        for (size_t i = 0; i < session.GetOutputCount(); ++i) {
            outputNames.push_back(session.GetOutputNameAllocated(i, allocator));
            outputs.push_back(outputNames.back().get());
        }
        std::vector<int64_t> shape = session.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
        size_t count = 1;
        for (int64_t d : shape)
            count *= static_cast<size_t>(d);

        std::ifstream in(argv[2], std::ios::binary);
        std::vector<float> input(count);
        if (!in.read(reinterpret_cast<char *>(input.data()), static_cast<std::streamsize>(count * sizeof(float)))) {
            std::fprintf(stderr, "ortrun: %s does not hold %zu floats\n", argv[2], count);
            return 2;
        }
        const Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault);
        Ort::Value tensor = Ort::Value::CreateTensor<float>(memory, input.data(), count, shape.data(), shape.size());
        const char *inputs[] = {inputName.get()};
        std::vector<Ort::Value> result = session.Run(Ort::RunOptions{nullptr}, inputs, &tensor, 1, outputs.data(),
                                                     outputs.size());
        std::ofstream out(argv[3], std::ios::binary);
        std::ofstream counts(std::string(argv[3]) + ".counts");
        for (const Ort::Value &value : result) {
            const size_t elements = value.GetTensorTypeAndShapeInfo().GetElementCount();
            out.write(reinterpret_cast<const char *>(value.GetTensorData<float>()),
                      static_cast<std::streamsize>(elements * sizeof(float)));
            counts << elements << '\n';
        }
        return out && counts ? 0 : 1;
    } catch (const Ort::Exception &e) {
        std::fprintf(stderr, "ortrun: %s\n", e.what());
        return 1;
    }
}
