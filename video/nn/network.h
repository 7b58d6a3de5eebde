#pragma once

#include "video/nn/kernels.h"
#include "video/nn/tflitemodel.h"

#include <cstdint>
#include <memory>
#include <string>

namespace nn {

/// A model turned into a fixed execution plan: weights converted and packed
/// once, every shape checked against the file, one arena for all activations
/// with buffers shared between tensors whose lifetimes do not overlap, and
/// activations folded into the operator before them where the result is the
/// same. After creation, run() cannot fail and does not allocate.
class Network
{
public:
    struct Options
    {
        /// 1 or 2. With 2, a helper thread takes half of every large step.
        int threads = 1;
        /// Null picks the fastest variant this CPU runs.
        const Kernels *kernels = nullptr;
    };

    /// Null with the reason in `error` when the model uses anything this
    /// engine does not implement or its shapes do not add up.
    static std::unique_ptr<Network> create(const Model &model, const Options &options, std::string *error);
    /// Reads and parses the file, then create().
    static std::unique_ptr<Network> load(const std::string &path, const Options &options, std::string *error);

    ~Network();
    Network(const Network &) = delete;
    Network &operator=(const Network &) = delete;

    int inputHeight() const;
    int inputWidth() const;
    int inputChannels() const;
    int outputHeight() const;
    int outputWidth() const;
    int outputChannels() const;

    /// The input tensor, NHWC; fill it before run().
    float *input();
    /// The output tensor, NHWC; valid after run() until the next run().
    const float *output() const;

    /// One inference. Not reentrant: one caller at a time.
    void run();

    /// Multiply-adds of one inference (convolutions of every kind).
    int64_t multiplyAdds() const;
    /// Bytes of the activation arena.
    size_t arenaBytes() const;
    const Kernels &kernels() const;

    struct Plan; // defined in network.cpp

private:
    Network();
    std::unique_ptr<Plan> m_plan;
};

} // namespace nn
