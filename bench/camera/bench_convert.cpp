// Per-frame cost of turning camera frames into BGRA, on one core. The floor is a plain copy of
// one BGRA frame of the output size.
#include "camera/capturemode.h"
#include "camera/convert_kernels.h"
#include "camera/frame.h"
#include "camera/frameconverter.h"
#include "camera/simulatedscene.h"

#include <benchmark/benchmark.h>

#include <QList>
#include <QSize>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int Width = 1280;
constexpr int Height = 720;

// A camera-like scene: soft gradients, a few shapes and sensor noise, so the JPEG decoder has
// typical work to do.
std::vector<uint8_t> sceneBgra()
{
    std::vector<uint8_t> pixels(size_t(Width) * Height * 4);
    std::mt19937 random(1);
    std::uniform_int_distribution<int> noise(-6, 6);
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x) {
            uint8_t *p = &pixels[(size_t(y) * Width + x) * 4];
            const double dx = x - 640.0, dy = y - 330.0;
            const bool face = dx * dx / 160.0 / 160.0 + dy * dy / 210.0 / 210.0 < 1.0;
            const int base[3] = { face ? 120 : 60 + x / 12, face ? 150 : 90 + y / 10,
                face ? 205 : 110 + (x + y) / 20 };
            for (int c = 0; c < 3; ++c)
                p[c] = uint8_t(std::clamp(base[c] + noise(random), 0, 255));
            p[3] = 255;
        }
    return pixels;
}

// The scene in a camera format, encoded as the simulated camera does (MJPEG at quality 85 with
// 4:2:2 chroma, what UVC cameras typically stream).
std::vector<uint8_t> sceneIn(uint32_t format)
{
    std::vector<uint8_t> out;
    if (!SimulatedScene::encode(format, sceneBgra().data(), Width, Height, out))
        out.clear();
    return out;
}

const convert::Kernels *variant(bool avx2)
{
    return avx2 ? convert::avx2Kernels() : &convert::baselineKernels();
}

void runConverter(benchmark::State &state, uint32_t format, const std::vector<uint8_t> &input,
    int targetWidth, int targetHeight, bool avx2)
{
    const convert::Kernels *kernels = variant(avx2);
    if (!kernels) {
        state.SkipWithError("no AVX2 on this CPU");
        return;
    }
    FrameConverter converter;
    converter.setKernels(*kernels);
    if (!converter.configure(format, QSize(Width, Height), 0, QSize(targetWidth, targetHeight))) {
        state.SkipWithError("configure failed");
        return;
    }
    FrameRef out = Frame::create(targetWidth, targetHeight);
    for (auto _ : state) {
        if (!converter.convert(input.data(), input.size(), *out))
            state.SkipWithError("convert failed");
        benchmark::DoNotOptimize(out->data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out->byteCount()));
}

void BM_FrameCopyFloor(benchmark::State &state)
{
    const int w = int(state.range(0)), h = int(state.range(1));
    FrameRef src = Frame::create(w, h);
    FrameRef dst = Frame::create(w, h);
    std::memset(src->data(), 1, src->byteCount());
    for (auto _ : state) {
        std::memcpy(dst->data(), src->data(), src->byteCount());
        benchmark::DoNotOptimize(dst->data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(src->byteCount()));
}
BENCHMARK(BM_FrameCopyFloor)
    ->Args({ 1280, 720 })
    ->Args({ 640, 360 })
    ->Unit(benchmark::kMillisecond);

// The simulated camera's picture at 1280x720, drawn into a frame as its BGRA mode hands it on:
// test equipment, but it runs inside the measured application under --simulate.
void BM_SimulatedScene(benchmark::State &state)
{
    SimulatedScene scene;
    FrameRef out = Frame::create(Width, Height);
    int64_t frame = 0;
    for (auto _ : state) {
        scene.render(out->data(), out->stride(), Width, Height, frame++);
        benchmark::DoNotOptimize(out->data());
    }
}
BENCHMARK(BM_SimulatedScene)->Unit(benchmark::kMillisecond);

// One benchmark per format, kernel variant and output size, named like "Yuyv/avx2/640x360".
// The JPEG decode itself is libjpeg-turbo's (with its own SIMD); for MJPEG the variant only
// affects the scaling after it. BGRA input times the scaling alone: the box halving (640x360)
// and the bilinear step (1000x563).
const bool registered = [] {
    struct Case
    {
        const char *name;
        uint32_t format;
        QList<QSize> sizes;
    };
    const QList<Case> cases = {
        { "Yuyv", PixelFormat::Yuyv, { { 1280, 720 }, { 640, 360 } } },
        { "Uyvy", PixelFormat::Uyvy, { { 1280, 720 }, { 640, 360 } } },
        { "Nv12", PixelFormat::Nv12, { { 1280, 720 }, { 640, 360 } } },
        { "I420", PixelFormat::Yu12, { { 1280, 720 }, { 640, 360 } } },
        { "Mjpeg", PixelFormat::Mjpeg, { { 1280, 720 }, { 640, 360 }, { 853, 480 } } },
        { "ScaleBgra", PixelFormat::Bgra, { { 640, 360 }, { 1000, 563 } } },
    };
    for (const Case &c : cases) {
        auto input = std::make_shared<std::vector<uint8_t>>(sceneIn(c.format));
        for (bool avx2 : { false, true })
            for (const QSize size : c.sizes) {
                const std::string name = std::string(c.name) + (avx2 ? "/avx2/" : "/baseline/")
                    + std::to_string(size.width()) + "x" + std::to_string(size.height());
                benchmark::RegisterBenchmark(name.c_str(),
                    [format = c.format, input, size, avx2](benchmark::State &state) {
                        runConverter(state, format, *input, size.width(), size.height(), avx2);
                    })
                    ->Unit(benchmark::kMillisecond);
            }
    }
    return true;
}();

} // namespace
