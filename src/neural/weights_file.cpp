#include "neural/weights_file.h"

#include <array>
#include <cmath>
#include <cstring>

#include "platform/regular_file.h"

namespace tavro::neural {
namespace {

constexpr char kMagic[4] = {'T', 'N', 'W', 'F'};
constexpr uint32_t kMaxLayers = 64;
constexpr uint32_t kMaxIterations = 64;
constexpr int32_t kMaxChannels = 1024;
constexpr int32_t kMaxKernel = 15;
// Far above any model we ship ("a few MB"); bounds the read before parsing.
constexpr size_t kMaxFileBytes = size_t(64) << 20;

std::array<uint32_t, 256> crcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool u32(uint32_t& value) {
        if (bytes_.size() - at_ < 4) return false;
        value = uint32_t(bytes_[at_]) | uint32_t(bytes_[at_ + 1]) << 8 | uint32_t(bytes_[at_ + 2]) << 16 |
                uint32_t(bytes_[at_ + 3]) << 24;
        at_ += 4;
        return true;
    }
    bool floats(std::vector<float>& out, size_t count) {
        if ((bytes_.size() - at_) / 4 < count) return false;
        out.resize(count);
        for (size_t i = 0; i < count; ++i) {
            uint32_t bits = 0;
            u32(bits);
            std::memcpy(&out[i], &bits, 4);
        }
        return true;
    }
    size_t offset() const { return at_; }
    size_t left() const { return bytes_.size() - at_; }

private:
    const std::vector<uint8_t>& bytes_;
    size_t at_ = 0;
};

void putU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int k = 0; k < 4; ++k) out.push_back(uint8_t(value >> (8 * k)));
}

bool allFinite(const std::vector<float>& values) {
    for (float v : values)
        if (!std::isfinite(v)) return false;
    return true;
}

bool fail(std::string& error, const std::string& text) {
    error = "Neural weights file: " + text;
    return false;
}

} // namespace

uint32_t crc32(const uint8_t* data, size_t size) {
    static const std::array<uint32_t, 256> table = crcTable();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFFu] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

bool parseNeuralWeights(const std::vector<uint8_t>& bytes, NeuralWeights& out, std::string& error) {
    if (bytes.size() < 4 || std::memcmp(bytes.data(), kMagic, 4) != 0)
        return fail(error, "not a weights file (bad magic).");
    Reader reader(bytes);
    uint32_t magic = 0, format = 0, model = 0, iterations = 0, layerCount = 0;
    if (!reader.u32(magic) || !reader.u32(format) || !reader.u32(model) || !reader.u32(iterations) ||
        !reader.u32(layerCount))
        return fail(error, "truncated header.");
    if (format != kWeightsFormatVersion)
        return fail(error, "format version " + std::to_string(format) + " is not supported (expected " +
                               std::to_string(kWeightsFormatVersion) + ").");
    if (iterations < 1 || iterations > kMaxIterations) return fail(error, "invalid iteration count.");
    if (layerCount < 1 || layerCount > kMaxLayers) return fail(error, "invalid layer count.");

    NeuralWeights parsed;
    parsed.modelVersion = model;
    parsed.iterations = iterations;
    parsed.layers.resize(layerCount);
    uint64_t payloadFloats = 0;
    for (ConvLayer& layer : parsed.layers) {
        uint32_t dims[4] = {};
        for (uint32_t& d : dims)
            if (!reader.u32(d)) return fail(error, "truncated layer shapes.");
        if (dims[0] < 1 || dims[0] > uint32_t(kMaxChannels) || dims[1] < 1 || dims[1] > uint32_t(kMaxChannels) ||
            dims[2] < 1 || dims[2] > uint32_t(kMaxKernel) || dims[3] < 1 || dims[3] > uint32_t(kMaxKernel) ||
            dims[2] % 2 == 0 || dims[3] % 2 == 0)
            return fail(error, "invalid layer shape.");
        layer.shape = {int32_t(dims[0]), int32_t(dims[1]), int32_t(dims[2]), int32_t(dims[3])};
        payloadFloats += uint64_t(dims[0]) * dims[1] * dims[2] * dims[3] + dims[0];
    }
    uint32_t checksum = 0;
    if (!reader.u32(checksum)) return fail(error, "truncated header.");
    if (uint64_t(reader.left()) != payloadFloats * 4)
        return fail(error, "size does not match the layer shapes (truncated or padded file).");
    if (crc32(bytes.data() + reader.offset(), reader.left()) != checksum)
        return fail(error, "checksum mismatch (corrupt file).");
    for (ConvLayer& layer : parsed.layers) {
        const LayerShape& s = layer.shape;
        reader.floats(layer.weights, size_t(s.outChannels) * s.inChannels * s.kernelHeight * s.kernelWidth);
        reader.floats(layer.biases, size_t(s.outChannels));
        if (!allFinite(layer.weights) || !allFinite(layer.biases)) return fail(error, "non-finite weight.");
    }
    out = std::move(parsed);
    return true;
}

bool readNeuralWeights(const std::string& path, NeuralWeights& out, std::string& error) {
    std::string why;
    platform::FileDescriptor fd = platform::openRegularFileForReading(path, why);
    if (!fd) return fail(error, "cannot open " + path + " (" + why + ").");
    std::string content;
    if (!platform::readAtMost(fd.get(), kMaxFileBytes, content, why))
        return fail(error, "cannot read " + path + " (" + why + ").");
    const std::vector<uint8_t> bytes(content.begin(), content.end());
    if (!parseNeuralWeights(bytes, out, error)) {
        error += " (" + path + ")";
        return false;
    }
    return true;
}

std::vector<uint8_t> serializeNeuralWeights(const NeuralWeights& weights) {
    std::vector<uint8_t> out(kMagic, kMagic + 4);
    putU32(out, kWeightsFormatVersion);
    putU32(out, weights.modelVersion);
    putU32(out, weights.iterations);
    putU32(out, uint32_t(weights.layers.size()));
    for (const ConvLayer& layer : weights.layers) {
        putU32(out, uint32_t(layer.shape.outChannels));
        putU32(out, uint32_t(layer.shape.inChannels));
        putU32(out, uint32_t(layer.shape.kernelHeight));
        putU32(out, uint32_t(layer.shape.kernelWidth));
    }
    std::vector<uint8_t> payload;
    auto putFloats = [&payload](const std::vector<float>& values) {
        for (float v : values) {
            uint32_t bits = 0;
            std::memcpy(&bits, &v, 4);
            putU32(payload, bits);
        }
    };
    for (const ConvLayer& layer : weights.layers) {
        putFloats(layer.weights);
        putFloats(layer.biases);
    }
    putU32(out, crc32(payload.data(), payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

} // namespace tavro::neural
