#pragma once
// The neural model's weights file: a small binary, little-endian, that the
// training tool writes and session creation checks before any device work.
//
//   char[4]   magic "TNWF"
//   u32       format version (kWeightsFormatVersion)
//   u32       model version (which network the layers build)
//   u32       refinement iterations the model was trained for (1 .. 64)
//   u32       layer count L (1 .. 64)
//   L x u32[4] layer shapes: out channels, in channels, kernel height, kernel width
//   u32       CRC-32 (IEEE, as zlib computes it) of the payload
//   payload   per layer: float32 weights [out][in][kh][kw], then float32 biases [out]
//
// The file must end exactly where the payload does.

#include <cstdint>
#include <string>
#include <vector>

namespace tavro::neural {

inline constexpr uint32_t kWeightsFormatVersion = 1;

struct LayerShape {
    int32_t outChannels = 0;
    int32_t inChannels = 0;
    int32_t kernelHeight = 0;
    int32_t kernelWidth = 0;
    bool operator==(const LayerShape&) const = default;
};

struct ConvLayer {
    LayerShape shape;
    std::vector<float> weights;  // [out][in][kh][kw]
    std::vector<float> biases;   // [out]
};

struct NeuralWeights {
    uint32_t modelVersion = 0;
    uint32_t iterations = 0;
    std::vector<ConvLayer> layers;
};

uint32_t crc32(const uint8_t* data, size_t size);

// Parses and checks a whole file's bytes; false with `error` set on any
// inconsistency (magic, versions, shapes, size, checksum, non-finite values).
bool parseNeuralWeights(const std::vector<uint8_t>& bytes, NeuralWeights& out, std::string& error);

// Reads and parses `path`; a missing or unreadable file is an error like a corrupt one.
bool readNeuralWeights(const std::string& path, NeuralWeights& out, std::string& error);

// The bytes of a weights file holding `weights` (the tests' and tools' writer).
std::vector<uint8_t> serializeNeuralWeights(const NeuralWeights& weights);

} // namespace tavro::neural
