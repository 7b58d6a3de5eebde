#include "video/nn/segmenter.h"

#include <filesystem>
#include <system_error>

namespace nn {

void Segmenter::Axis::prepare(int inSize, int outSize)
{
    if (in == inSize && out == outSize)
        return;
    in = inSize;
    out = outSize;
    bilinearTable(in, out, false, true, i0, i1, f);
}

Segmenter::Segmenter(std::unique_ptr<Network> net)
    : m_net(std::move(net))
{
}

const char *Segmenter::fileName(Model model)
{
    return model == Model::Landscape ? "selfie_segmentation_landscape.tflite" : "selfie_segmentation.tflite";
}

std::string Segmenter::findModel(Model model, const std::string &executableDir)
{
    namespace fs = std::filesystem;
    const fs::path candidates[] = {
        fs::path(executableDir) / ".." / "share" / "talvento-control" / "models" / fileName(model),
        fs::path(TALVENTO_MODEL_BUILD_DIR) / fileName(model),
    };
    for (const fs::path &path : candidates) {
        std::error_code ec;
        if (fs::is_regular_file(path, ec))
            return fs::weakly_canonical(path, ec).string();
    }
    return {};
}

std::unique_ptr<Segmenter> Segmenter::load(const std::string &path, const Network::Options &options,
                                           std::string *error)
{
    std::unique_ptr<Network> net = Network::load(path, options, error);
    if (!net)
        return nullptr;
    if (net->inputChannels() != 3 || net->outputChannels() != 1) {
        if (error)
            *error = path + ": expected an RGB input and a one-channel output";
        return nullptr;
    }
    return std::unique_ptr<Segmenter>(new Segmenter(std::move(net)));
}

bool Segmenter::run(const uint8_t *bgra, int width, int height, size_t strideBytes)
{
    if (!bgra || width < 1 || height < 1 || strideBytes < size_t(width) * 4)
        return false;
    const int outW = m_net->inputWidth(), outH = m_net->inputHeight();
    m_inX.prepare(width, outW);
    m_inY.prepare(height, outH);
    float *dst = m_net->input();
    for (int y = 0; y < outH; ++y) {
        const uint8_t *r0 = bgra + size_t(m_inY.i0[size_t(y)]) * strideBytes;
        const uint8_t *r1 = bgra + size_t(m_inY.i1[size_t(y)]) * strideBytes;
        const float fy = m_inY.f[size_t(y)];
        for (int x = 0; x < outW; ++x, dst += 3) {
            const size_t c0 = size_t(m_inX.i0[size_t(x)]) * 4, c1 = size_t(m_inX.i1[size_t(x)]) * 4;
            const float fx = m_inX.f[size_t(x)];
            const float w00 = (1 - fy) * (1 - fx), w01 = (1 - fy) * fx, w10 = fy * (1 - fx), w11 = fy * fx;
            // BGRA bytes to RGB in [0, 1].
            for (int c = 0; c < 3; ++c) {
                const size_t o = size_t(2 - c);
                dst[c] = (r0[c0 + o] * w00 + r0[c1 + o] * w01 + r1[c0 + o] * w10 + r1[c1 + o] * w11) * (1.0f / 255.0f);
            }
        }
    }
    m_net->run();
    m_topSource = m_bottomSource = -1;
    return true;
}

int Segmenter::mapWidth() const { return m_net->outputWidth(); }
int Segmenter::mapHeight() const { return m_net->outputHeight(); }
const float *Segmenter::probabilities() const { return m_net->output(); }

float Segmenter::personShare() const
{
    const size_t n = size_t(mapWidth()) * mapHeight();
    const float *p = probabilities();
    size_t person = 0;
    for (size_t i = 0; i < n; ++i)
        person += p[i] >= 0.5f;
    return float(person) / float(n);
}

void Segmenter::horizontal(int sourceRow, float *out) const
{
    const float *row = probabilities() + size_t(sourceRow) * mapWidth();
    for (int x = 0; x < m_maskX.out; ++x) {
        const float f = m_maskX.f[size_t(x)];
        out[x] = row[m_maskX.i0[size_t(x)]] * (1 - f) + row[m_maskX.i1[size_t(x)]] * f;
    }
}

void Segmenter::mask(uint8_t *out, int width, int height, size_t strideBytes)
{
    if (m_maskX.in != mapWidth() || m_maskX.out != width)
        m_topSource = m_bottomSource = -1;
    m_maskX.prepare(mapWidth(), width);
    m_maskY.prepare(mapHeight(), height);
    m_rowTop.resize(size_t(width));
    m_rowBottom.resize(size_t(width));
    const Kernels &k = m_net->kernels();
    // Upscaling reuses each pair of map rows for several mask rows, so the
    // horizontally scaled rows are kept until the pair changes.
    for (int y = 0; y < height; ++y) {
        const int top = m_maskY.i0[size_t(y)], bottom = m_maskY.i1[size_t(y)];
        if (top == m_bottomSource && top != m_topSource) {
            std::swap(m_rowTop, m_rowBottom);
            std::swap(m_topSource, m_bottomSource);
        }
        if (top != m_topSource) {
            horizontal(top, m_rowTop.data());
            m_topSource = top;
        }
        if (bottom != m_bottomSource) {
            if (bottom == top)
                m_rowBottom = m_rowTop;
            else
                horizontal(bottom, m_rowBottom.data());
            m_bottomSource = bottom;
        }
        k.maskRow(m_rowTop.data(), m_rowBottom.data(), m_maskY.f[size_t(y)], out + size_t(y) * strideBytes, width);
    }
}

} // namespace nn
