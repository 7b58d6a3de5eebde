#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace nn {

enum class TensorType : int8_t { Float32 = 0, Float16 = 1, Int32 = 2 };

/// One tensor of the graph. Constant data is converted once here: FLOAT16 and
/// FLOAT32 weights land in `floats`, INT32 constants in `ints`.
struct Tensor
{
    std::vector<int32_t> shape;
    TensorType type = TensorType::Float32;
    std::string name;
    bool constant = false;
    std::vector<float> floats;
    std::vector<int32_t> ints;
};

enum class OpKind {
    Add,
    AveragePool2D,
    Conv2D,
    DepthwiseConv2D,
    Dequantize,
    HardSwish,
    Logistic,
    Mean,
    Mul,
    Relu,
    ResizeBilinear,
    TransposeConvBias,
};

enum class Padding { Same, Valid };
/// The fused activations we implement; all of them are clamps.
enum class FusedActivation { None, Relu, ReluN1To1, Relu6 };

/// One operator with its options already decoded from the builtin or custom
/// options; fields that do not apply to the kind keep their defaults.
struct Operator
{
    OpKind kind = OpKind::Add;
    std::vector<int32_t> inputs;
    std::vector<int32_t> outputs;
    Padding padding = Padding::Same;
    int strideW = 1;
    int strideH = 1;
    int dilationW = 1;
    int dilationH = 1;
    int depthMultiplier = 0;
    int filterW = 0;
    int filterH = 0;
    FusedActivation activation = FusedActivation::None;
    bool keepDims = false;
    bool alignCorners = false;
    bool halfPixelCenters = false;
};

/// The single subgraph of a TFLite file, limited to the operators above.
struct Model
{
    std::string description;
    std::vector<Tensor> tensors;
    std::vector<Operator> operators;
    int input = -1;
    int output = -1;
};

/// Decodes a TFLite flatbuffer. Every offset, length and index is checked
/// against the bytes, so a damaged or hostile file is refused with a reason in
/// `error` and never read out of bounds. Files with operators, types or options
/// outside the set above are refused as well.
[[nodiscard]] bool parseModel(std::span<const uint8_t> bytes, Model &model, std::string *error);

/// IEEE 754 binary16 to float, exact (subnormals kept).
float halfToFloat(uint16_t h);

} // namespace nn
