#include "neural/refine_network.h"

#include "gpu/runtime.h"

namespace tavro::neural {
namespace {

// Channels of each buffer per tile, at its own resolution.
constexpr int kInput = 2, kF1Cat = 36, kPooled1 = 12, kH2 = 24, kF2Cat = 56, kPooled2 = 24, kQ = 32, kG = 12,
              kResidual = 2;

} // namespace

const std::array<LayerShape, kModelLayers>& modelLayerShapes() {
    static const std::array<LayerShape, kModelLayers> shapes{{{12, 2, 3, 3},
                                                              {24, 12, 3, 3},
                                                              {24, 24, 3, 3},
                                                              {32, 24, 3, 3},
                                                              {32, 32, 3, 3},
                                                              {32, 32, 3, 3},
                                                              {24, 56, 3, 3},
                                                              {12, 36, 3, 3},
                                                              {2, 12, 3, 3}}};
    return shapes;
}

bool checkModelLayout(const NeuralWeights& weights, std::string& error) {
    if (weights.modelVersion < 1 || weights.modelVersion > kLatestModelVersion) {
        error = "Neural weights file: model version " + std::to_string(weights.modelVersion) +
                " is not supported by this engine (supported: 1 to " + std::to_string(kLatestModelVersion) + ").";
        return false;
    }
    const auto& shapes = modelLayerShapes();
    bool same = weights.layers.size() == shapes.size();
    for (size_t k = 0; same && k < shapes.size(); ++k) same = weights.layers[k].shape == shapes[k];
    if (!same) {
        error = "Neural weights file: the layer shapes do not match model version " +
                std::to_string(weights.modelVersion) + ".";
        return false;
    }
    return true;
}

uint64_t RefineNetwork::activationBytes(int size, int batch) {
    const uint64_t full = uint64_t(size) * size, half = full / 4, quarter = full / 16;
    const uint64_t perTile = full * (kInput + kF1Cat + kG + kResidual) + half * (kPooled1 + kH2 + kF2Cat) +
                             quarter * (kPooled2 + 2 * kQ);
    return perTile * uint64_t(batch) * sizeof(float);
}

bool RefineNetwork::prepare(const NeuralWeights& weights, int size, int batch, std::string& error) {
    leases_.clear();
    size_ = size;
    batch_ = batch;
    auto lease = [&](uint64_t floats, float*& out) {
        DeviceBufferPool::Lease held;
        const int code = DeviceBufferPool::instance().acquire(floats * sizeof(float), held);
        if (code != 0) {
            error = cudaErrorMessage(code, "neural buffers");
            return false;
        }
        out = held.as<float>();
        leases_.push_back(std::move(held));
        return true;
    };
    const uint64_t full = uint64_t(size) * size, half = full / 4, quarter = full / 16, n = uint64_t(batch);
    if (!lease(n * full * kInput, input_) || !lease(n * full * kF1Cat, f1cat_) ||
        !lease(n * half * kPooled1, pooled1_) || !lease(n * half * kH2, h2_) || !lease(n * half * kF2Cat, f2cat_) ||
        !lease(n * quarter * kPooled2, pooled2_) || !lease(n * quarter * kQ, q1_) || !lease(n * quarter * kQ, q2_) ||
        !lease(n * full * kG, g_) || !lease(n * full * kResidual, residual_))
        return false;
    for (size_t k = 0; k < layers_.size(); ++k) {
        const ConvLayer& source = weights.layers[k];
        float* w = nullptr;
        float* b = nullptr;
        if (!lease(source.weights.size(), w) || !lease(source.biases.size(), b)) return false;
        const LayerShape& sh = source.shape;
        const std::vector<float> reordered =
            outputInnermost(source.weights, sh.outChannels, sh.inChannels, sh.kernelHeight, sh.kernelWidth);
        cudaError_t code = cudaMemcpy(w, reordered.data(), reordered.size() * sizeof(float), cudaMemcpyHostToDevice);
        if (code == cudaSuccess)
            code = cudaMemcpy(b, source.biases.data(), source.biases.size() * sizeof(float), cudaMemcpyHostToDevice);
        if (code != cudaSuccess) {
            error = cudaErrorMessage(code, "neural weights upload");
            return false;
        }
        layers_[k] = {w, b, source.shape};
    }
    return true;
}

cudaError_t RefineNetwork::layer(int index, ConstTensorView in, TensorView out, int height, int width, int count,
                                 bool activate) const {
    const DeviceLayer& l = layers_[size_t(index)];
    return convolve(in, l.shape.inChannels, out, l.shape.outChannels, l.weights, l.biases, l.shape.kernelHeight,
                    l.shape.kernelWidth, height, width, count, activate ? kLeakySlope : 1.0f);
}

cudaError_t RefineNetwork::forward(int count) const {
    const int s = size_, h = s / 2, q = s / 4;
    const int64_t full = int64_t(s) * s, half = int64_t(h) * h, quarter = int64_t(q) * q;
    // Concatenations are channel slices: the upsampled branch first, the skip after it.
    const TensorView f1{f1cat_ + 24 * full, kF1Cat * full};
    const TensorView upper1{f1cat_, kF1Cat * full};
    const TensorView f2{f2cat_ + 32 * half, kF2Cat * half};
    const TensorView upper2{f2cat_, kF2Cat * half};
    auto view = [](float* p, int64_t stride) { return TensorView{p, stride}; };
    auto cview = [](const TensorView& v) { return ConstTensorView{v.data, v.batchStride}; };

    cudaError_t code = layer(0, {input_, kInput * full}, f1, s, s, count, true);
    if (code == cudaSuccess) code = downsample2(cview(f1), view(pooled1_, kPooled1 * half), kPooled1, h, h, count);
    if (code == cudaSuccess) code = layer(1, {pooled1_, kPooled1 * half}, view(h2_, kH2 * half), h, h, count, true);
    if (code == cudaSuccess) code = layer(2, {h2_, kH2 * half}, f2, h, h, count, true);
    if (code == cudaSuccess) code = downsample2(cview(f2), view(pooled2_, kPooled2 * quarter), kPooled2, q, q, count);
    if (code == cudaSuccess) code = layer(3, {pooled2_, kPooled2 * quarter}, view(q1_, kQ * quarter), q, q, count, true);
    if (code == cudaSuccess) code = layer(4, {q1_, kQ * quarter}, view(q2_, kQ * quarter), q, q, count, true);
    if (code == cudaSuccess) code = layer(5, {q2_, kQ * quarter}, view(q1_, kQ * quarter), q, q, count, true);
    if (code == cudaSuccess) code = upsample2({q1_, kQ * quarter}, upper2, kQ, q, q, count);
    if (code == cudaSuccess) code = layer(6, cview(upper2), view(h2_, kH2 * half), h, h, count, true);
    if (code == cudaSuccess) code = upsample2({h2_, kH2 * half}, upper1, kH2, h, h, count);
    if (code == cudaSuccess) code = layer(7, cview(upper1), view(g_, kG * full), s, s, count, true);
    if (code == cudaSuccess) code = layer(8, {g_, kG * full}, view(residual_, kResidual * full), s, s, count, false);
    return code;
}

} // namespace tavro::neural
