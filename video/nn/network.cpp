#include "video/nn/network.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

namespace nn {

namespace {

// Arena limit; far above the 3.5 MiB the larger model needs.
constexpr size_t MaxArenaFloats = size_t(1) << 26;
// Buffers start on a cache line.
constexpr size_t AlignFloats = 16;

enum class StepKind { Conv, Depthwise, TransposeConv, Mean, Binary, Activation, Resize };

struct Shape
{
    int h = 0, w = 0, c = 0;
    bool operator==(const Shape &) const = default;
    size_t elements() const { return size_t(h) * w * c; }
};

struct Step
{
    StepKind kind = StepKind::Activation;
    int out = -1;
    int in0 = -1;
    int in1 = -1;
    ConvArgs conv;
    BinaryArgs binary;
    ResizeArgs resize;
    Epilogue epi;
    std::vector<float> weights;
    std::vector<float> bias;
    std::vector<int32_t> x0, x1, y0, y1;
    std::vector<float> fx, fy;

    Epilogue &epilogue()
    {
        switch (kind) {
        case StepKind::Conv:
        case StepKind::Depthwise:
        case StepKind::TransposeConv: return conv.epi;
        case StepKind::Binary: return binary.epi;
        default: return epi;
        }
    }
};

struct Buffer
{
    int first = -1; // step that writes it (-1: the graph input)
    int last = -1;  // last step that reads it
    size_t floats = 0;
    size_t offset = 0;
};

std::string opName(size_t index) { return "operator " + std::to_string(index) + ": "; }

/// Output size along one axis; 0 when the kernel does not fit. Sizes come
/// from the file, so the arithmetic is done wide enough not to overflow.
int outSize(int in, int k, int stride, Padding padding, int &padBefore)
{
    padBefore = 0;
    if (padding == Padding::Same) {
        const int64_t out = (int64_t(in) + stride - 1) / stride;
        const int64_t total = std::max<int64_t>(0, (out - 1) * stride + k - in);
        padBefore = int(total / 2);
        return int(out);
    }
    return in >= k ? (in - k) / stride + 1 : 0;
}

} // namespace

struct Network::Plan
{
    const Kernels *kernels = nullptr;
    std::vector<Step> steps;
    std::vector<Shape> shapes;   // per tensor; activations only
    std::vector<Buffer> buffers; // per tensor
    int input = -1;
    int output = -1;
    int64_t multiplyAdds = 0;
    float *arena = nullptr;
    size_t arenaFloats = 0;

    // Two-thread mode: the helper runs the second half of each posted step.
    int threads = 1;
    std::thread helper;
    std::mutex mutex;
    std::condition_variable wake;
    std::atomic<uint32_t> posted{0};
    std::atomic<uint32_t> done{0};
    std::atomic<bool> quit{false};
    const Step *job = nullptr;

    ~Plan()
    {

        if (helper.joinable()) {
            {
                std::lock_guard lock(mutex);
                quit = true;
                posted.fetch_add(1, std::memory_order_release);
            }
            wake.notify_one();
            helper.join();
        }
        std::free(arena);
    }

    float *at(int tensor) const { return arena + buffers[size_t(tensor)].offset; }

    /// Work items of a step that can be split between threads (rows or pixels).
    size_t items(const Step &s) const
    {
        switch (s.kind) {
        case StepKind::Conv:
        case StepKind::Depthwise:
        case StepKind::TransposeConv: return size_t(s.conv.outH);
        case StepKind::Resize: return size_t(shapes[size_t(s.out)].h);
        case StepKind::Binary: return s.binary.pixels;
        case StepKind::Activation: return shapes[size_t(s.out)].elements();
        case StepKind::Mean: return 1;
        }
        return 1;
    }

    void execute(const Step &s, size_t begin, size_t end) const
    {
        switch (s.kind) {
        case StepKind::Conv: kernels->conv(s.conv, int(begin), int(end)); break;
        case StepKind::Depthwise: kernels->depthwise(s.conv, int(begin), int(end)); break;
        case StepKind::TransposeConv: kernels->transposeConv(s.conv, int(begin), int(end)); break;
        case StepKind::Resize: kernels->resize(s.resize, int(begin), int(end)); break;
        case StepKind::Binary: kernels->binary(s.binary, begin, end); break;
        case StepKind::Activation: kernels->activation(at(s.in0), at(s.out), s.epi, begin, end); break;
        case StepKind::Mean: {
            const Shape &in = shapes[size_t(s.in0)];
            kernels->globalMean(at(s.in0), size_t(in.h) * in.w, in.c, at(s.out));
            break;
        }
        }
    }

    static size_t half(size_t n) { return n / 2; }

    void helperLoop()
    {
        uint32_t seen = 0;
        for (;;) {
            uint32_t now;
            int spins = 0;
            // Spin briefly: within an inference the next step follows within
            // microseconds, and a sleep/wake per step would cost more than it.
            while ((now = posted.load(std::memory_order_acquire)) == seen) {
                if (++spins < (1 << 14)) {
                    __builtin_ia32_pause();
                    continue;
                }
                std::unique_lock lock(mutex);
                wake.wait(lock, [&] { return posted.load(std::memory_order_acquire) != seen; });
                spins = 0;
            }
            seen = now;
            if (quit.load(std::memory_order_acquire))
                return;
            const size_t n = items(*job);
            execute(*job, half(n), n);
            done.store(seen, std::memory_order_release);
        }
    }

    void run()
    {
        for (const Step &s : steps) {
            const size_t n = items(s);
            // Below this much work the hand-over costs more than it saves.
            const bool split = threads > 1 && n >= 2 && (s.kind != StepKind::Activation || n >= 4096)
                               && (s.kind != StepKind::Binary || n * size_t(s.binary.channels) >= 4096);
            if (!split) {
                execute(s, 0, n);
                continue;
            }
            job = &s;
            uint32_t ticket;
            {
                std::lock_guard lock(mutex);
                ticket = posted.fetch_add(1, std::memory_order_release) + 1;
            }
            wake.notify_one();
            execute(s, 0, half(n));
            while (done.load(std::memory_order_acquire) != ticket)
                __builtin_ia32_pause();
        }
    }
};

namespace {

/// Builds the plan; every failure names the operator and the reason.
class Builder
{
public:
    Builder(const Model &model, Network::Plan &plan)
        : m(model)
        , p(plan)
    {
    }

    bool build(std::string &why)
    {
        const size_t n = m.tensors.size();
        p.shapes.assign(n, {});
        p.buffers.assign(n, {});
        constants.assign(n, nullptr);
        defined.assign(n, false);
        for (size_t i = 0; i < n; ++i)
            if (m.tensors[i].constant && m.tensors[i].type == TensorType::Float32)
                constants[i] = &m.tensors[i].floats;

        p.input = m.input;
        p.output = m.output;
        if (!activationShape(p.input, p.shapes[size_t(p.input)], why) || m.tensors[size_t(p.input)].constant)
            return why = "graph input: " + (why.empty() ? "must be a float32 [1,H,W,C] tensor" : why), false;
        defined[size_t(p.input)] = true;

        for (size_t i = 0; i < m.operators.size(); ++i)
            if (!addOperator(m.operators[i], why))
                return why = opName(i) + why, false;
        if (!defined[size_t(p.output)] || constants[size_t(p.output)])
            return why = "the graph output is never computed", false;
        if (p.steps.empty())
            return why = "the graph has no operators", false;
        fuseActivations();
        return allocate(why);
    }

private:
    bool activationShape(int tensor, Shape &shape, std::string &why)
    {
        const Tensor &t = m.tensors[size_t(tensor)];
        if (t.type != TensorType::Float32)
            return why = "tensor " + std::to_string(tensor) + " must be float32", false;
        if (t.shape.size() != 4 || t.shape[0] != 1)
            return why = "tensor " + std::to_string(tensor) + " must have shape [1,H,W,C]", false;
        shape = {t.shape[1], t.shape[2], t.shape[3]};
        return true;
    }

    /// An activation tensor that an earlier operator (or the graph input) wrote.
    bool source(int tensor, Shape &shape, std::string &why)
    {
        if (constants[size_t(tensor)])
            return why = "constant tensor " + std::to_string(tensor) + " where an activation is expected", false;
        if (!defined[size_t(tensor)])
            return why = "tensor " + std::to_string(tensor) + " is used before it is computed", false;
        shape = p.shapes[size_t(tensor)];
        return true;
    }

    const std::vector<float> *constant(int tensor, std::string &why)
    {
        if (!constants[size_t(tensor)])
            why = "tensor " + std::to_string(tensor) + " must be a constant float tensor";
        return constants[size_t(tensor)];
    }

    /// Declares the output of the step about to be added and checks its
    /// shape against the one the file states.
    bool result(int tensor, const Shape &computed, std::string &why)
    {
        if (defined[size_t(tensor)] || m.tensors[size_t(tensor)].constant)
            return why = "tensor " + std::to_string(tensor) + " is written twice", false;
        Shape declared;
        if (!activationShape(tensor, declared, why))
            return false;
        if (!(declared == computed) || computed.elements() == 0)
            return why = "computed shape [1," + std::to_string(computed.h) + "," + std::to_string(computed.w) + ","
                         + std::to_string(computed.c) + "] differs from the file's",
                   false;
        defined[size_t(tensor)] = true;
        p.shapes[size_t(tensor)] = computed;
        p.buffers[size_t(tensor)].first = int(p.steps.size());
        return true;
    }

    static float clampLow(FusedActivation a)
    {
        switch (a) {
        case FusedActivation::None: return -INFINITY;
        case FusedActivation::Relu:
        case FusedActivation::Relu6: return 0.0f;
        case FusedActivation::ReluN1To1: return -1.0f;
        }
        return -INFINITY;
    }

    static float clampHigh(FusedActivation a)
    {
        switch (a) {
        case FusedActivation::Relu6: return 6.0f;
        case FusedActivation::ReluN1To1: return 1.0f;
        default: return INFINITY;
        }
    }

    static bool inputs(const Operator &op, size_t count, std::string &why)
    {
        if (op.inputs.size() != count)
            return why = "expected " + std::to_string(count) + " inputs", false;
        return true;
    }

    bool addOperator(const Operator &op, std::string &why)
    {
        const int out = op.outputs[0];
        switch (op.kind) {
        case OpKind::Dequantize: {
            if (!inputs(op, 1, why))
                return false;
            const Tensor &in = m.tensors[size_t(op.inputs[0])];
            const Tensor &o = m.tensors[size_t(out)];
            if (!in.constant || in.type != TensorType::Float16)
                return why = "only constant float16 tensors can be dequantized", false;
            if (o.constant || constants[size_t(out)] || defined[size_t(out)] || o.type != TensorType::Float32
                || o.shape != in.shape)
                return why = "dequantize output must be a new float32 tensor of the input's shape", false;
            // Converted once when the file was read; nothing is left to run.
            constants[size_t(out)] = &in.floats;
            return true;
        }
        case OpKind::Conv2D:
        case OpKind::DepthwiseConv2D:
        case OpKind::TransposeConvBias: return addConv(op, why);
        case OpKind::AveragePool2D:
        case OpKind::Mean: return addMean(op, why);
        case OpKind::Add:
        case OpKind::Mul: return addBinary(op, why);
        case OpKind::Relu:
        case OpKind::HardSwish:
        case OpKind::Logistic: {
            Step s;
            s.kind = StepKind::Activation;
            Shape shape;
            if (!inputs(op, 1, why) || !source(op.inputs[0], shape, why) || !result(out, shape, why))
                return false;
            s.in0 = op.inputs[0];
            s.out = out;
            if (op.kind == OpKind::Relu)
                s.epi.lo = 0.0f;
            else
                s.epi.post = op.kind == OpKind::HardSwish ? PostOp::HardSwish : PostOp::Logistic;
            p.steps.push_back(std::move(s));
            return true;
        }
        case OpKind::ResizeBilinear: return addResize(op, why);
        }
        return why = "unknown operator", false;
    }

    bool addConv(const Operator &op, std::string &why)
    {
        Shape in;
        if (!inputs(op, 3, why) || !source(op.inputs[0], in, why))
            return false;
        const std::vector<float> *weights = constant(op.inputs[1], why);
        const std::vector<float> *bias = weights ? constant(op.inputs[2], why) : nullptr;
        if (!bias)
            return false;
        const std::vector<int32_t> &ws = m.tensors[size_t(op.inputs[1])].shape;
        const std::vector<int32_t> &bs = m.tensors[size_t(op.inputs[2])].shape;
        if (ws.size() != 4 || bs.size() != 1)
            return why = "weights must be 4-D and the bias 1-D", false;
        if (op.dilationH != 1 || op.dilationW != 1)
            return why = "dilated convolutions are not supported", false;

        Step s;
        ConvArgs &a = s.conv;
        a.inH = in.h;
        a.inW = in.w;
        a.inC = in.c;
        a.kH = ws[1];
        a.kW = ws[2];
        a.strideH = op.strideH;
        a.strideW = op.strideW;
        a.epi.lo = clampLow(op.activation);
        a.epi.hi = clampHigh(op.activation);
        s.in0 = op.inputs[0];
        s.out = op.outputs[0];

        if (op.kind == OpKind::DepthwiseConv2D) {
            s.kind = StepKind::Depthwise;
            a.outC = ws[3];
            if (ws[0] != 1 || a.outC != in.c)
                return why = "only depthwise convolutions with multiplier 1 are supported", false;
            if (op.depthMultiplier > 1)
                return why = "depth multiplier " + std::to_string(op.depthMultiplier) + " is not supported", false;
        } else {
            s.kind = op.kind == OpKind::Conv2D ? StepKind::Conv : StepKind::TransposeConv;
            a.outC = ws[0];
            if (ws[3] != in.c)
                return why = "weights do not match the input channels", false;
        }
        if (bs[0] != a.outC)
            return why = "bias does not match the output channels", false;

        if (s.kind == StepKind::TransposeConv) {
            int ph = 0, pw = 0;
            if (op.padding == Padding::Same) {
                ph = std::max(0, a.kH - ((in.h - 1) % a.strideH) - 1);
                pw = std::max(0, a.kW - ((in.w - 1) % a.strideW) - 1);
            }
            const int64_t outH = int64_t(a.strideH) * (in.h - 1) + a.kH - ph;
            const int64_t outW = int64_t(a.strideW) * (in.w - 1) + a.kW - pw;
            // Anything this large cannot match a declared shape.
            a.outH = outH > (int64_t(1) << 26) ? 0 : int(outH);
            a.outW = outW > (int64_t(1) << 26) ? 0 : int(outW);
            a.padTop = ph / 2;
            a.padLeft = pw / 2;
        } else {
            a.outH = outSize(in.h, a.kH, a.strideH, op.padding, a.padTop);
            a.outW = outSize(in.w, a.kW, a.strideW, op.padding, a.padLeft);
        }
        if (!result(s.out, {a.outH, a.outW, a.outC}, why))
            return false;

        const int padded = roundUpLanes(a.outC);
        s.bias.assign(size_t(padded), 0.0f);
        std::copy(bias->begin(), bias->end(), s.bias.begin());
        const size_t taps = size_t(a.kH) * a.kW;
        if (s.kind == StepKind::Conv) {
            // [o][ky][kx][i] -> [o / Lanes][ky][kx][i][o % Lanes]
            s.weights.assign(size_t(padded) * taps * a.inC, 0.0f);
            for (int o = 0; o < a.outC; ++o)
                for (size_t t = 0; t < taps; ++t)
                    for (int i = 0; i < a.inC; ++i)
                        s.weights[((size_t(o / Lanes) * taps + t) * a.inC + i) * Lanes + o % Lanes] =
                            (*weights)[(size_t(o) * taps + t) * a.inC + i];
            p.multiplyAdds += int64_t(a.outH) * a.outW * a.outC * int64_t(taps) * a.inC;
        } else if (s.kind == StepKind::Depthwise) {
            s.weights.assign(taps * padded, 0.0f);
            for (size_t t = 0; t < taps; ++t)
                std::copy_n(weights->begin() + t * a.outC, a.outC, s.weights.begin() + t * padded);
            p.multiplyAdds += int64_t(a.outH) * a.outW * a.outC * int64_t(taps);
        } else {
            s.weights = *weights;
            p.multiplyAdds += int64_t(in.h) * in.w * in.c * int64_t(taps) * a.outC;
        }
        p.steps.push_back(std::move(s));
        return true;
    }

    bool addMean(const Operator &op, std::string &why)
    {
        Shape in;
        if (!inputs(op, op.kind == OpKind::Mean ? 2 : 1, why) || !source(op.inputs[0], in, why))
            return false;
        if (op.kind == OpKind::Mean) {
            const Tensor &axes = m.tensors[size_t(op.inputs[1])];
            std::vector<int32_t> sorted = axes.ints;
            std::sort(sorted.begin(), sorted.end());
            if (!axes.constant || axes.type != TensorType::Int32 || sorted != std::vector<int32_t>{1, 2})
                return why = "only the mean over height and width is supported", false;
            if (!op.keepDims)
                return why = "mean without keep_dims is not supported", false;
        } else {
            if (op.filterH != in.h || op.filterW != in.w || op.activation != FusedActivation::None)
                return why = "only global average pooling is supported", false;
        }
        Step s;
        s.kind = StepKind::Mean;
        s.in0 = op.inputs[0];
        s.out = op.outputs[0];
        if (!result(s.out, {1, 1, in.c}, why))
            return false;
        p.steps.push_back(std::move(s));
        return true;
    }

    bool addBinary(const Operator &op, std::string &why)
    {
        Shape a, b;
        if (!inputs(op, 2, why) || !source(op.inputs[0], a, why) || !source(op.inputs[1], b, why))
            return false;
        Step s;
        s.kind = StepKind::Binary;
        s.in0 = op.inputs[0];
        s.in1 = op.inputs[1];
        // Both operations commute, so a per-channel operand may come first.
        if (a.h == 1 && a.w == 1 && !(b.h == 1 && b.w == 1)) {
            std::swap(a, b);
            std::swap(s.in0, s.in1);
        }
        if (a.c != b.c || !(a == b || (b.h == 1 && b.w == 1)))
            return why = "operand shapes are not supported (same shape or one value per channel)", false;
        s.binary.op = op.kind == OpKind::Add ? BinaryOp::Add : BinaryOp::Mul;
        s.binary.perChannel = !(a == b);
        s.binary.pixels = size_t(a.h) * a.w;
        s.binary.channels = a.c;
        s.binary.epi.lo = clampLow(op.activation);
        s.binary.epi.hi = clampHigh(op.activation);
        s.out = op.outputs[0];
        if (!result(s.out, a, why))
            return false;
        p.steps.push_back(std::move(s));
        return true;
    }

    bool addResize(const Operator &op, std::string &why)
    {
        Shape in;
        if (!inputs(op, 2, why) || !source(op.inputs[0], in, why))
            return false;
        const Tensor &size = m.tensors[size_t(op.inputs[1])];
        if (!size.constant || size.type != TensorType::Int32 || size.ints.size() != 2)
            return why = "the output size must be a constant int32 pair", false;
        const int outH = size.ints[0], outW = size.ints[1];
        if (outH < 1 || outW < 1)
            return why = "output size out of range", false;
        Step s;
        s.kind = StepKind::Resize;
        s.in0 = op.inputs[0];
        s.out = op.outputs[0];
        if (!result(s.out, {outH, outW, in.c}, why))
            return false;
        bilinearTable(in.h, outH, op.alignCorners, op.halfPixelCenters, s.y0, s.y1, s.fy);
        bilinearTable(in.w, outW, op.alignCorners, op.halfPixelCenters, s.x0, s.x1, s.fx);
        s.resize.inW = in.w;
        s.resize.channels = in.c;
        s.resize.outW = outW;
        p.steps.push_back(std::move(s));
        return true;
    }

    /// Folds a RELU, HARD_SWISH or LOGISTIC step into the step that produced
    /// its input when nothing else reads that intermediate: the same
    /// arithmetic on the same value, one pass over memory fewer.
    void fuseActivations()
    {
        std::vector<int> readers(m.tensors.size(), 0);
        for (const Step &s : p.steps) {
            if (s.in0 >= 0)
                ++readers[size_t(s.in0)];
            if (s.in1 >= 0)
                ++readers[size_t(s.in1)];
        }
        std::vector<Step> fused;
        fused.reserve(p.steps.size());
        for (Step &s : p.steps) {
            if (s.kind == StepKind::Activation && !fused.empty()) {
                Step &prev = fused.back();
                Epilogue &e = prev.epilogue();
                const bool fusable = prev.out == s.in0 && readers[size_t(s.in0)] == 1 && s.in0 != p.output
                                     && prev.kind != StepKind::Mean && prev.kind != StepKind::Resize
                                     && prev.kind != StepKind::Activation && e.post == PostOp::None;
                if (fusable) {
                    // A later clamp to [0, inf) composes with the earlier clamp.
                    e.lo = std::max(e.lo, s.epi.lo);
                    e.hi = std::max(e.hi, e.lo);
                    e.post = s.epi.post;
                    p.buffers[size_t(prev.out)] = {};
                    prev.out = s.out;
                    continue;
                }
            }
            fused.push_back(std::move(s));
        }
        p.steps = std::move(fused);
    }

    /// Gives each activation an offset in one arena; tensors whose lifetimes
    /// overlap never share memory. Largest first, lowest free offset.
    bool allocate(std::string &why)
    {
        std::vector<int> live;
        for (size_t i = 0; i < p.steps.size(); ++i) {
            const Step &s = p.steps[i];
            p.buffers[size_t(s.out)].first = int(i);
            live.push_back(s.out);
        }
        // Recompute reads after fusion.
        for (int t : live)
            p.buffers[size_t(t)].last = -1;
        p.buffers[size_t(p.input)].first = -1;
        p.buffers[size_t(p.input)].last = -1;
        live.push_back(p.input);
        for (size_t i = 0; i < p.steps.size(); ++i)
            for (int t : {p.steps[i].in0, p.steps[i].in1})
                if (t >= 0)
                    p.buffers[size_t(t)].last = int(i);
        p.buffers[size_t(p.output)].last = int(p.steps.size());
        for (int t : live) {
            Buffer &b = p.buffers[size_t(t)];
            b.last = std::max(b.last, b.first);
            b.floats = (p.shapes[size_t(t)].elements() + AlignFloats - 1) / AlignFloats * AlignFloats;
        }
        std::sort(live.begin(), live.end(), [&](int a, int b) {
            return p.buffers[size_t(a)].floats != p.buffers[size_t(b)].floats
                       ? p.buffers[size_t(a)].floats > p.buffers[size_t(b)].floats
                       : a < b;
        });
        std::vector<int> placed;
        size_t total = 0;
        for (int t : live) {
            Buffer &b = p.buffers[size_t(t)];
            std::vector<std::pair<size_t, size_t>> taken;
            for (int o : placed) {
                const Buffer &ob = p.buffers[size_t(o)];
                if (ob.first <= b.last && b.first <= ob.last)
                    taken.emplace_back(ob.offset, ob.offset + ob.floats);
            }
            std::sort(taken.begin(), taken.end());
            size_t offset = 0;
            for (const auto &[begin, end] : taken) {
                if (offset + b.floats <= begin)
                    break;
                offset = std::max(offset, end);
            }
            b.offset = offset;
            total = std::max(total, offset + b.floats);
            if (total > MaxArenaFloats)
                return why = "activations need too much memory", false;
            placed.push_back(t);
        }
        p.arenaFloats = total;
        p.arena = static_cast<float *>(std::aligned_alloc(64, std::max<size_t>(total, AlignFloats) * sizeof(float)));
        if (!p.arena)
            return why = "out of memory", false;
        std::fill_n(p.arena, total, 0.0f);

        for (Step &s : p.steps) {
            s.conv.in = p.at(s.in0);
            s.conv.out = p.at(s.out);
            s.conv.weights = s.weights.data();
            s.conv.bias = s.bias.data();
            s.binary.a = p.at(s.in0);
            s.binary.b = s.in1 >= 0 ? p.at(s.in1) : nullptr;
            s.binary.out = p.at(s.out);
            s.resize.in = p.at(s.in0);
            s.resize.out = p.at(s.out);
            s.resize.x0 = s.x0.data();
            s.resize.x1 = s.x1.data();
            s.resize.y0 = s.y0.data();
            s.resize.y1 = s.y1.data();
            s.resize.fx = s.fx.data();
            s.resize.fy = s.fy.data();
        }
        return true;
    }

    const Model &m;
    Network::Plan &p;
    std::vector<const std::vector<float> *> constants;
    std::vector<bool> defined;
};

} // namespace

Network::Network() = default;
Network::~Network() = default;

std::unique_ptr<Network> Network::create(const Model &model, const Options &options, std::string *error)
{
    std::string why;
    if (options.threads < 1 || options.threads > 2)
        why = "threads must be 1 or 2";
    else if (model.input < 0 || model.output < 0 || size_t(model.input) >= model.tensors.size()
             || size_t(model.output) >= model.tensors.size())
        why = "model has no valid input and output";
    std::unique_ptr<Network> net(new Network);
    net->m_plan = std::make_unique<Plan>();
    Plan &plan = *net->m_plan;
    plan.kernels = options.kernels ? options.kernels : &bestKernels();
    if (why.empty() && Builder(model, plan).build(why)) {
        plan.threads = options.threads;
        if (plan.threads > 1)
            plan.helper = std::thread([&plan] { plan.helperLoop(); });
        return net;
    }
    if (error)
        *error = why;
    return nullptr;
}

std::unique_ptr<Network> Network::load(const std::string &path, const Options &options, std::string *error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (error)
            *error = "cannot open " + path;
        return nullptr;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    Model model;
    std::string why;
    if (!parseModel(bytes, model, &why)) {
        if (error)
            *error = path + ": " + why;
        return nullptr;
    }
    auto net = create(model, options, &why);
    if (!net && error)
        *error = path + ": " + why;
    return net;
}

int Network::inputHeight() const { return m_plan->shapes[size_t(m_plan->input)].h; }
int Network::inputWidth() const { return m_plan->shapes[size_t(m_plan->input)].w; }
int Network::inputChannels() const { return m_plan->shapes[size_t(m_plan->input)].c; }
int Network::outputHeight() const { return m_plan->shapes[size_t(m_plan->output)].h; }
int Network::outputWidth() const { return m_plan->shapes[size_t(m_plan->output)].w; }
int Network::outputChannels() const { return m_plan->shapes[size_t(m_plan->output)].c; }
float *Network::input() { return m_plan->at(m_plan->input); }
const float *Network::output() const { return m_plan->at(m_plan->output); }
void Network::run() { m_plan->run(); }
int64_t Network::multiplyAdds() const { return m_plan->multiplyAdds; }
size_t Network::arenaBytes() const { return m_plan->arenaFloats * sizeof(float); }
const Kernels &Network::kernels() const { return *m_plan->kernels; }

} // namespace nn
