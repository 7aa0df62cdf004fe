#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>

#include "neural/refine_network.h"
#include "neural/weights_file.h"
#include "support/temp_dir.h"

namespace tavro::neural {
namespace {

NeuralWeights smallModel() {
    NeuralWeights w;
    w.modelVersion = 3;
    w.iterations = 2;
    ConvLayer a{{2, 1, 3, 3}, std::vector<float>(18), {0.5f, -0.5f}};
    for (size_t k = 0; k < a.weights.size(); ++k) a.weights[k] = float(k) * 0.25f - 1.0f;
    ConvLayer b{{1, 2, 1, 1}, {1.0f, 2.0f}, {3.0f}};
    w.layers = {a, b};
    return w;
}

// Header bytes before the payload of smallModel: magic, 4 words, 2 shapes, checksum.
constexpr size_t kSmallHeader = 4 + 16 + 32 + 4;

void setU32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int k = 0; k < 4; ++k) bytes.at(at + size_t(k)) = uint8_t(value >> (8 * k));
}

// Recomputes the checksum, so that a test reaches the check after it.
void reseal(std::vector<uint8_t>& bytes) {
    setU32(bytes, kSmallHeader - 4, crc32(bytes.data() + kSmallHeader, bytes.size() - kSmallHeader));
}

bool parses(const std::vector<uint8_t>& bytes, std::string& error) {
    NeuralWeights out;
    return parseNeuralWeights(bytes, out, error);
}

TEST(NeuralWeightsFile, RoundTripKeepsEveryValueAndShape) {
    const NeuralWeights model = smallModel();
    const std::vector<uint8_t> bytes = serializeNeuralWeights(model);
    EXPECT_EQ(bytes.size(), kSmallHeader + 4 * (18 + 2 + 2 + 1));
    NeuralWeights back;
    std::string error;
    ASSERT_TRUE(parseNeuralWeights(bytes, back, error)) << error;
    EXPECT_EQ(back.modelVersion, 3u);
    EXPECT_EQ(back.iterations, 2u);
    ASSERT_EQ(back.layers.size(), 2u);
    for (size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(back.layers[k].shape, model.layers[k].shape);
        EXPECT_EQ(back.layers[k].weights, model.layers[k].weights);
        EXPECT_EQ(back.layers[k].biases, model.layers[k].biases);
    }
}

TEST(NeuralWeightsFile, ChecksumIsTheStandardCrc32) {
    const char* text = "123456789";
    EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
}

TEST(NeuralWeightsFile, DamagedFilesAreRefusedWithTheReason) {
    const std::vector<uint8_t> good = serializeNeuralWeights(smallModel());
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        const char* reason;
    };
    std::vector<Case> cases;
    auto with = [&](const char* what, const char* reason, auto change) {
        std::vector<uint8_t> b = good;
        change(b);
        cases.push_back({what, b, reason});
    };
    with("empty", "magic", [](auto& b) { b.clear(); });
    with("magic", "magic", [](auto& b) { b[0] = 'X'; });
    with("format", "format version", [](auto& b) { setU32(b, 4, 2); });
    with("no iterations", "iteration", [](auto& b) { setU32(b, 12, 0); });
    with("no layers", "layer count", [](auto& b) { setU32(b, 16, 0); });
    with("huge layer count", "layer count", [](auto& b) { setU32(b, 16, 0xFFFFFFFFu); });
    with("even kernel", "layer shape", [](auto& b) { setU32(b, 20 + 8, 2); });
    with("huge channels", "layer shape", [](auto& b) { setU32(b, 20, 0x40000000u); });
    with("header cut", "truncated", [](auto& b) { b.resize(30); });
    with("payload cut", "size", [](auto& b) { b.pop_back(); });
    with("padded", "size", [](auto& b) { b.push_back(0); });
    with("bit flip", "checksum", [](auto& b) { b[kSmallHeader + 5] ^= 0x10; });
    with("NaN weight", "non-finite", [](auto& b) {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        std::memcpy(&b[kSmallHeader + 8], &nan, 4);
        reseal(b);
    });
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(parses(c.bytes, error)) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
    }
}

TEST(NeuralWeightsFile, MissingFileNamesThePath) {
    testing::TempDir dir;
    const std::string path = dir.file("absent.weights").string();
    NeuralWeights out;
    std::string error;
    EXPECT_FALSE(readNeuralWeights(path, out, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
}

TEST(NeuralWeightsFile, ModelLayoutMustMatchTheEngine) {
    NeuralWeights model = smallModel();
    std::string error;
    EXPECT_FALSE(checkModelLayout(model, error));
    EXPECT_NE(error.find("model version 3"), std::string::npos) << error;
    model.modelVersion = kLatestModelVersion;
    EXPECT_FALSE(checkModelLayout(model, error));
    EXPECT_NE(error.find("layer shapes"), std::string::npos) << error;
}

TEST(NeuralWeightsFile, CommittedWeightsAreAValidModel) {
    NeuralWeights weights;
    std::string error;
    ASSERT_TRUE(readNeuralWeights(TAVRO_NEURAL_BUILD_WEIGHTS, weights, error)) << error;
    EXPECT_TRUE(checkModelLayout(weights, error)) << error;
    EXPECT_GE(weights.iterations, 1u);
}

} // namespace
} // namespace tavro::neural
