#include "video/nn/tflitemodel.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace nn {

namespace {

// Builtin operator codes and option union tags of the TFLite schema.
enum : int32_t {
    CodeAdd = 0,
    CodeAveragePool2D = 1,
    CodeConv2D = 3,
    CodeDepthwiseConv2D = 4,
    CodeDequantize = 6,
    CodeLogistic = 14,
    CodeMul = 18,
    CodeRelu = 19,
    CodeResizeBilinear = 23,
    CodeCustom = 32,
    CodeMean = 40,
    CodeHardSwish = 117,
};
enum : uint8_t {
    OptionsNone = 0,
    OptionsConv2D = 1,
    OptionsDepthwiseConv2D = 2,
    OptionsPool2D = 5,
    OptionsAdd = 11,
    OptionsResizeBilinear = 15,
    OptionsMul = 21,
    OptionsReducer = 27,
};

constexpr char TransposeConvName[] = "Convolution2DTransposeBias";
// Far above anything these models need; keeps hostile shapes from asking for
// absurd amounts of memory later on.
constexpr int64_t MaxTensorElements = int64_t(1) << 26;

struct Table
{
    size_t pos = 0;
    size_t vtable = 0;
    uint16_t vtableSize = 0;
};

struct Vector
{
    size_t pos = 0; // first element
    uint32_t count = 0;
};

/// Bounds-checked access to one flatbuffer. Every reader returns false and
/// records the first problem instead of reading past the end.
class Flat
{
public:
    explicit Flat(std::span<const uint8_t> bytes)
        : m_data(bytes.data())
        , m_size(bytes.size())
    {
    }

    const std::string &error() const { return m_error; }

    bool fail(const std::string &what)
    {
        if (m_error.empty())
            m_error = what;
        return false;
    }

    bool has(size_t pos, size_t len) const { return pos <= m_size && len <= m_size - pos; }

    template<typename T>
    bool read(size_t pos, T &value)
    {
        if (!has(pos, sizeof(T)))
            return fail("read past the end of the file");
        std::memcpy(&value, m_data + pos, sizeof(T));
        return true;
    }

    const uint8_t *bytes(size_t pos) const { return m_data + pos; }

    /// Follows the forward offset stored at pos.
    bool follow(size_t pos, size_t &target)
    {
        uint32_t off = 0;
        if (!read(pos, off))
            return false;
        if (off == 0 || !has(pos, off) || pos + off >= m_size)
            return fail("offset points outside the file");
        target = pos + off;
        return true;
    }

    bool table(size_t pos, Table &t)
    {
        int32_t soff = 0;
        if (!read(pos, soff))
            return false;
        const int64_t vt = int64_t(pos) - int64_t(soff);
        if (vt < 0 || !has(size_t(vt), 4))
            return fail("table has its vtable outside the file");
        uint16_t vtSize = 0, inlineSize = 0;
        read(size_t(vt), vtSize);
        read(size_t(vt) + 2, inlineSize);
        if (vtSize < 4 || (vtSize & 1) || !has(size_t(vt), vtSize))
            return fail("malformed vtable");
        if (inlineSize < 4 || !has(pos, inlineSize))
            return fail("table runs past the end of the file");
        t.pos = pos;
        t.vtable = size_t(vt);
        t.vtableSize = vtSize;
        return true;
    }

    /// Position of field `id`, or 0 when the field is absent.
    bool field(const Table &t, int id, size_t &pos)
    {
        pos = 0;
        const size_t slot = 4 + 2 * size_t(id);
        if (slot + 2 > t.vtableSize)
            return true;
        uint16_t off = 0;
        read(t.vtable + slot, off);
        if (off == 0)
            return true;
        if (off < 4 || !has(t.pos, off))
            return fail("field offset outside the file");
        pos = t.pos + off;
        return true;
    }

    template<typename T>
    bool scalar(const Table &t, int id, T fallback, T &value)
    {
        size_t pos = 0;
        if (!field(t, id, pos))
            return false;
        if (pos == 0) {
            value = fallback;
            return true;
        }
        if constexpr (std::is_same_v<T, bool>) {
            // Any byte may be stored there; only 0 and 1 are valid bools.
            uint8_t byte = 0;
            if (!read(pos, byte))
                return false;
            value = byte != 0;
            return true;
        }
        return read(pos, value);
    }

    /// A referenced sub-table; `present` tells whether the field exists.
    bool subTable(const Table &t, int id, Table &sub, bool &present)
    {
        size_t pos = 0, target = 0;
        present = false;
        if (!field(t, id, pos))
            return false;
        if (pos == 0)
            return true;
        if (!follow(pos, target) || !table(target, sub))
            return false;
        present = true;
        return true;
    }

    /// A vector field with elements of `elemSize` bytes; absent reads as empty.
    bool vector(const Table &t, int id, size_t elemSize, Vector &v)
    {
        size_t pos = 0, target = 0;
        v = {};
        if (!field(t, id, pos))
            return false;
        if (pos == 0)
            return true;
        if (!follow(pos, target))
            return false;
        uint32_t count = 0;
        if (!read(target, count))
            return false;
        if (!has(target + 4, uint64_t(count) * elemSize))
            return fail("vector runs past the end of the file");
        v.pos = target + 4;
        v.count = count;
        return true;
    }

    bool tableAt(const Vector &v, uint32_t i, Table &t)
    {
        size_t target = 0;
        return follow(v.pos + 4 * size_t(i), target) && table(target, t);
    }

    bool string(const Table &t, int id, std::string &s)
    {
        Vector v;
        if (!vector(t, id, 1, v))
            return false;
        s.assign(reinterpret_cast<const char *>(bytes(v.pos)), v.count);
        return true;
    }

    bool ints(const Table &t, int id, std::vector<int32_t> &out)
    {
        Vector v;
        if (!vector(t, id, 4, v))
            return false;
        out.resize(v.count);
        if (v.count)
            std::memcpy(out.data(), bytes(v.pos), size_t(v.count) * 4);
        return true;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    std::string m_error;
};

std::string at(const char *what, size_t index)
{
    return std::string(what) + " " + std::to_string(index) + ": ";
}

bool readTensor(Flat &f, const Table &t, const Vector &buffers, Tensor &tensor, Vector &data, std::string &why)
{
    int8_t type = 0;
    uint32_t buffer = 0;
    if (!f.ints(t, 0, tensor.shape) || !f.scalar<int8_t>(t, 1, 0, type) || !f.scalar<uint32_t>(t, 2, 0, buffer)
        || !f.string(t, 3, tensor.name))
        return false;
    if (type != int8_t(TensorType::Float32) && type != int8_t(TensorType::Float16) && type != int8_t(TensorType::Int32))
        return why = "tensor type " + std::to_string(type) + " is not supported", false;
    tensor.type = TensorType(type);
    for (int id = 4; id <= 7; ++id) {
        size_t pos = 0;
        if (!f.field(t, id, pos))
            return false;
        if (pos != 0)
            return why = "quantized, sparse or variable tensors are not supported", false;
    }
    int64_t elements = 1;
    for (int32_t d : tensor.shape) {
        if (d < 1)
            return why = "dimension " + std::to_string(d) + " is not supported", false;
        elements *= d;
        if (elements > MaxTensorElements)
            return why = "tensor is too large", false;
    }
    if (buffer >= buffers.count)
        return why = "buffer index " + std::to_string(buffer) + " out of range", false;
    Table b;
    if (!f.tableAt(buffers, buffer, b) || !f.vector(b, 0, 1, data))
        return false;
    const size_t elemSize = tensor.type == TensorType::Float16 ? 2 : 4;
    if (data.count != 0 && uint64_t(data.count) != uint64_t(elements) * elemSize)
        return why = "constant data does not match the tensor shape", false;
    tensor.constant = data.count != 0;
    return true;
}

/// Copies or converts constant data; runs only once the whole file checked
/// out, so a damaged file is refused before any weight is touched.
void readConstant(Flat &f, const Vector &data, Tensor &tensor)
{
    const uint8_t *p = f.bytes(data.pos);
    const size_t elements = tensor.type == TensorType::Float16 ? data.count / 2 : data.count / 4;
    if (tensor.type == TensorType::Int32) {
        tensor.ints.resize(elements);
        std::memcpy(tensor.ints.data(), p, elements * 4);
    } else if (tensor.type == TensorType::Float32) {
        tensor.floats.resize(elements);
        std::memcpy(tensor.floats.data(), p, elements * 4);
    } else {
        tensor.floats.resize(elements);
        for (size_t i = 0; i < elements; ++i) {
            uint16_t h;
            std::memcpy(&h, p + 2 * i, 2);
            tensor.floats[i] = halfToFloat(h);
        }
    }
}

bool decodePadding(int8_t v, Padding &p, std::string &why)
{
    if (v != 0 && v != 1)
        return why = "padding " + std::to_string(v) + " is not supported", false;
    p = v == 0 ? Padding::Same : Padding::Valid;
    return true;
}

bool decodeActivation(int8_t v, FusedActivation &a, std::string &why)
{
    switch (v) {
    case 0: a = FusedActivation::None; return true;
    case 1: a = FusedActivation::Relu; return true;
    case 2: a = FusedActivation::ReluN1To1; return true;
    case 3: a = FusedActivation::Relu6; return true;
    }
    return why = "fused activation " + std::to_string(v) + " is not supported", false;
}

bool positive(int v) { return v >= 1 && v <= 1024; }

/// Decodes the options table of `op` for its kind. The tag must match the kind.
bool readOptions(Flat &f, const Table &t, Operator &op, std::string &why)
{
    uint8_t tag = 0;
    if (!f.scalar<uint8_t>(t, 3, 0, tag))
        return false;
    uint8_t expected = OptionsNone;
    switch (op.kind) {
    case OpKind::Conv2D: expected = OptionsConv2D; break;
    case OpKind::DepthwiseConv2D: expected = OptionsDepthwiseConv2D; break;
    case OpKind::AveragePool2D: expected = OptionsPool2D; break;
    case OpKind::Add: expected = OptionsAdd; break;
    case OpKind::Mul: expected = OptionsMul; break;
    case OpKind::ResizeBilinear: expected = OptionsResizeBilinear; break;
    case OpKind::Mean: expected = OptionsReducer; break;
    default: break;
    }
    if (tag != expected && !(tag == OptionsNone && (op.kind == OpKind::Add || op.kind == OpKind::Mul)))
        return why = "options type " + std::to_string(tag) + " does not fit the operator", false;
    if (expected == OptionsNone || tag == OptionsNone)
        return true;

    Table o;
    bool present = false;
    if (!f.subTable(t, 4, o, present))
        return false;
    if (!present)
        return why = "options table missing", false;

    int8_t padding = 0, act = 0;
    int32_t sw = 0, sh = 0, dw = 1, dh = 1;
    bool b2 = false, b3 = false;
    switch (op.kind) {
    case OpKind::Conv2D:
        if (!f.scalar(o, 0, int8_t(0), padding) || !f.scalar(o, 1, 0, sw) || !f.scalar(o, 2, 0, sh)
            || !f.scalar(o, 3, int8_t(0), act) || !f.scalar(o, 4, 1, dw) || !f.scalar(o, 5, 1, dh))
            return false;
        break;
    case OpKind::DepthwiseConv2D:
        if (!f.scalar(o, 0, int8_t(0), padding) || !f.scalar(o, 1, 0, sw) || !f.scalar(o, 2, 0, sh)
            || !f.scalar(o, 3, 0, op.depthMultiplier) || !f.scalar(o, 4, int8_t(0), act) || !f.scalar(o, 5, 1, dw)
            || !f.scalar(o, 6, 1, dh))
            return false;
        break;
    case OpKind::AveragePool2D:
        if (!f.scalar(o, 0, int8_t(0), padding) || !f.scalar(o, 1, 0, sw) || !f.scalar(o, 2, 0, sh)
            || !f.scalar(o, 3, 0, op.filterW) || !f.scalar(o, 4, 0, op.filterH) || !f.scalar(o, 5, int8_t(0), act))
            return false;
        if (!positive(op.filterW) || !positive(op.filterH))
            return why = "pool filter size out of range", false;
        break;
    case OpKind::Add:
    case OpKind::Mul:
        if (!f.scalar(o, 0, int8_t(0), act))
            return false;
        break;
    case OpKind::ResizeBilinear:
        if (!f.scalar(o, 2, false, b2) || !f.scalar(o, 3, false, b3))
            return false;
        op.alignCorners = b2;
        op.halfPixelCenters = b3;
        return true;
    case OpKind::Mean:
        return f.scalar(o, 0, false, op.keepDims);
    default:
        return true;
    }
    if (!decodePadding(padding, op.padding, why) || !decodeActivation(act, op.activation, why))
        return false;
    if (op.kind == OpKind::Add || op.kind == OpKind::Mul)
        return true;
    if (!positive(sw) || !positive(sh) || !positive(dw) || !positive(dh))
        return why = "stride or dilation out of range", false;
    op.strideW = sw;
    op.strideH = sh;
    op.dilationW = dw;
    op.dilationH = dh;
    return true;
}

/// The custom transposed convolution keeps its options as a plain struct of
/// three little-endian int32: padding (1 SAME, 2 VALID), stride_w, stride_h.
bool readTransposeOptions(Flat &f, const Table &t, Operator &op, std::string &why)
{
    Vector v;
    if (!f.vector(t, 5, 1, v))
        return false;
    if (v.count != 12)
        return why = "custom options of " + std::string(TransposeConvName) + " must be 12 bytes", false;
    int32_t padding, sw, sh;
    std::memcpy(&padding, f.bytes(v.pos), 4);
    std::memcpy(&sw, f.bytes(v.pos + 4), 4);
    std::memcpy(&sh, f.bytes(v.pos + 8), 4);
    if (padding != 1 && padding != 2)
        return why = "transposed convolution padding " + std::to_string(padding) + " is not supported", false;
    if (!positive(sw) || !positive(sh))
        return why = "stride out of range", false;
    op.padding = padding == 1 ? Padding::Same : Padding::Valid;
    op.strideW = sw;
    op.strideH = sh;
    return true;
}

bool kindForCode(int32_t code, const std::string &custom, OpKind &kind, std::string &why)
{
    switch (code) {
    case CodeAdd: kind = OpKind::Add; return true;
    case CodeAveragePool2D: kind = OpKind::AveragePool2D; return true;
    case CodeConv2D: kind = OpKind::Conv2D; return true;
    case CodeDepthwiseConv2D: kind = OpKind::DepthwiseConv2D; return true;
    case CodeDequantize: kind = OpKind::Dequantize; return true;
    case CodeLogistic: kind = OpKind::Logistic; return true;
    case CodeMul: kind = OpKind::Mul; return true;
    case CodeRelu: kind = OpKind::Relu; return true;
    case CodeResizeBilinear: kind = OpKind::ResizeBilinear; return true;
    case CodeMean: kind = OpKind::Mean; return true;
    case CodeHardSwish: kind = OpKind::HardSwish; return true;
    case CodeCustom:
        if (custom == TransposeConvName) {
            kind = OpKind::TransposeConvBias;
            return true;
        }
        return why = "custom operator \"" + custom + "\" is not supported", false;
    }
    return why = "operator code " + std::to_string(code) + " is not supported", false;
}

struct Code
{
    int32_t code = 0;
    std::string custom;
};

bool parse(Flat &f, Model &model, std::string &why)
{
    uint32_t rootOffset = 0;
    if (!f.read(0, rootOffset) || !f.has(4, 4))
        return why = "file too short", false;
    if (std::memcmp(f.bytes(4), "TFL3", 4) != 0)
        return why = "not a TFLite file (identifier is not TFL3)", false;
    Table root;
    size_t rootPos = 0;
    if (!f.follow(0, rootPos) || !f.table(rootPos, root))
        return false;

    uint32_t version = 0;
    if (!f.scalar<uint32_t>(root, 0, 0, version) || !f.string(root, 3, model.description))
        return false;
    if (version != 3)
        return why = "schema version " + std::to_string(version) + " is not supported", false;

    Vector codesVec, subgraphs, buffers;
    if (!f.vector(root, 1, 4, codesVec) || !f.vector(root, 2, 4, subgraphs) || !f.vector(root, 4, 4, buffers))
        return false;
    std::vector<Code> codes(codesVec.count);
    for (uint32_t i = 0; i < codesVec.count; ++i) {
        Table c;
        int8_t deprecated = 0;
        if (!f.tableAt(codesVec, i, c) || !f.scalar<int8_t>(c, 0, 0, deprecated) || !f.string(c, 1, codes[i].custom)
            || !f.scalar<int32_t>(c, 3, 0, codes[i].code))
            return why = at("operator code", i) + f.error(), false;
        codes[i].code = std::max<int32_t>(codes[i].code, deprecated);
    }
    if (subgraphs.count != 1)
        return why = "expected exactly one subgraph, found " + std::to_string(subgraphs.count), false;
    Table graph;
    Vector tensors, operators;
    std::vector<int32_t> inputs, outputs;
    if (!f.tableAt(subgraphs, 0, graph) || !f.vector(graph, 0, 4, tensors) || !f.ints(graph, 1, inputs)
        || !f.ints(graph, 2, outputs) || !f.vector(graph, 3, 4, operators))
        return false;

    model.tensors.resize(tensors.count);
    std::vector<Vector> data(tensors.count);
    for (uint32_t i = 0; i < tensors.count; ++i) {
        Table t;
        std::string reason;
        if (!f.tableAt(tensors, i, t) || !readTensor(f, t, buffers, model.tensors[i], data[i], reason))
            return why = at("tensor", i) + (reason.empty() ? f.error() : reason), false;
    }

    const auto validTensor = [&](int32_t index) { return index >= 0 && uint32_t(index) < tensors.count; };
    if (inputs.size() != 1 || outputs.size() != 1)
        return why = "expected one input and one output", false;
    if (!validTensor(inputs[0]) || !validTensor(outputs[0]))
        return why = "graph input or output index out of range", false;
    model.input = inputs[0];
    model.output = outputs[0];

    model.operators.resize(operators.count);
    for (uint32_t i = 0; i < operators.count; ++i) {
        Operator &op = model.operators[i];
        Table t;
        uint32_t opcode = 0;
        std::string reason;
        if (!f.tableAt(operators, i, t) || !f.scalar<uint32_t>(t, 0, 0, opcode) || !f.ints(t, 1, op.inputs)
            || !f.ints(t, 2, op.outputs))
            return why = at("operator", i) + f.error(), false;
        if (opcode >= codes.size())
            return why = at("operator", i) + "operator code index out of range", false;
        bool ok = kindForCode(codes[opcode].code, codes[opcode].custom, op.kind, reason);
        if (ok)
            ok = op.kind == OpKind::TransposeConvBias ? readTransposeOptions(f, t, op, reason)
                                                     : readOptions(f, t, op, reason);
        if (!ok)
            return why = at("operator", i) + (reason.empty() ? f.error() : reason), false;
        for (int32_t index : op.inputs)
            if (!validTensor(index))
                return why = at("operator", i) + "input tensor index out of range", false;
        if (op.outputs.size() != 1 || !validTensor(op.outputs[0]))
            return why = at("operator", i) + "expected one valid output tensor", false;
    }
    for (uint32_t i = 0; i < tensors.count; ++i)
        if (model.tensors[i].constant)
            readConstant(f, data[i], model.tensors[i]);
    return true;
}

} // namespace

float halfToFloat(uint16_t h)
{
    const uint32_t sign = uint32_t(h & 0x8000) << 16;
    const uint32_t exponent = (h >> 10) & 0x1f;
    const uint32_t mantissa = h & 0x3ff;
    uint32_t bits;
    if (exponent == 0) {
        // Zero or subnormal: m * 2^-24 is exact in float.
        const float v = float(mantissa) * 0x1p-24f;
        std::memcpy(&bits, &v, 4);
        bits |= sign;
    } else if (exponent == 31) {
        bits = sign | 0x7f800000u | (mantissa << 13);
    } else {
        bits = sign | ((exponent - 15 + 127) << 23) | (mantissa << 13);
    }
    float out;
    std::memcpy(&out, &bits, 4);
    return out;
}

bool parseModel(std::span<const uint8_t> bytes, Model &model, std::string *error)
{
    model = {};
    Flat f(bytes);
    std::string why;
    if (parse(f, model, why))
        return true;
    if (why.empty())
        why = f.error().empty() ? "malformed file" : f.error();
    if (error)
        *error = why;
    model = {};
    return false;
}

} // namespace nn
