#pragma once

#include "video/nn/network.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nn {

/// The selfie segmentation model with its picture side: a BGRA picture in,
/// a person probability map out, and from it an 8-bit mask of any size.
/// One caller at a time.
class Segmenter
{
public:
    /// The landscape model (256x144, the shape of a 16:9 frame) or the
    /// general one (256x256).
    enum class Model { Landscape, General };

    static const char *fileName(Model model);
    /// Where the model file is: next to an installed program
    /// (<bin>/../share/talvento-control/models) or in the build tree. Empty
    /// when neither has it.
    static std::string findModel(Model model, const std::string &executableDir);

    /// Null with the reason in `error` when the file cannot be used.
    static std::unique_ptr<Segmenter> load(const std::string &path, const Network::Options &options,
                                           std::string *error);

    /// Resamples the picture to the model input (whole picture, no aspect
    /// kept, pixel-centre bilinear, RGB in [0, 1]) and runs the model. The
    /// picture is B, G, R, A bytes, rows `strideBytes` apart. False for an
    /// empty or too small picture.
    [[nodiscard]] bool run(const uint8_t *bgra, int width, int height, size_t strideBytes);

    int mapWidth() const;
    int mapHeight() const;
    /// Person probability per model pixel, row by row, from the last run.
    const float *probabilities() const;
    /// Share of model pixels with probability at least 0.5 in the last run.
    float personShare() const;

    /// The last run's map as an 8-bit mask of width x height (both at least
    /// 1), scaled with pixel-centre bilinear sampling; 255 = person.
    void mask(uint8_t *out, int width, int height, size_t strideBytes);

    Network &network() { return *m_net; }

private:
    explicit Segmenter(std::unique_ptr<Network> net);

    std::unique_ptr<Network> m_net;
    // Resampling tables and rows, kept between calls of the same size.
    struct Axis
    {
        int in = 0, out = 0;
        std::vector<int32_t> i0, i1;
        std::vector<float> f;
        void prepare(int inSize, int outSize);
    };
    void horizontal(int sourceRow, float *out) const;
    Axis m_inX, m_inY, m_maskX, m_maskY;
    std::vector<float> m_rowTop, m_rowBottom;
    int m_topSource = -1, m_bottomSource = -1; // map rows now in m_rowTop / m_rowBottom
};

} // namespace nn
