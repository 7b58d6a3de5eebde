// Per-frame cost of turning camera frames into BGRA, on one core. The floor is a plain copy of
// one BGRA frame of the output size.
#include "camera/capturemode.h"
#include "camera/convert_kernels.h"
#include "camera/frame.h"
#include "camera/frameconverter.h"

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <QtGlobal>

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

std::vector<uint8_t> sceneYuyv()
{
    const std::vector<uint8_t> bgra = sceneBgra();
    std::vector<uint8_t> yuyv(size_t(Width) * Height * 2);
    for (size_t i = 0; i < size_t(Width) * Height; i += 2) {
        const uint8_t *p = &bgra[i * 4];
        auto luma
            = [](const uint8_t *q) { return 16 + (66 * q[2] + 129 * q[1] + 25 * q[0]) / 256; };
        yuyv[i * 2] = uint8_t(luma(p));
        yuyv[i * 2 + 1] = uint8_t(128 + (-38 * p[2] - 74 * p[1] + 112 * p[0]) / 256);
        yuyv[i * 2 + 2] = uint8_t(luma(p + 4));
        yuyv[i * 2 + 3] = uint8_t(128 + (112 * p[2] - 94 * p[1] - 18 * p[0]) / 256);
    }
    return yuyv;
}

std::vector<uint8_t> sceneNv12()
{
    const std::vector<uint8_t> yuyv = sceneYuyv();
    std::vector<uint8_t> nv12(size_t(Width) * Height * 3 / 2);
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x)
            nv12[size_t(y) * Width + x] = yuyv[(size_t(y) * Width + x) * 2];
    for (int y = 0; y < Height / 2; ++y)
        for (int x = 0; x < Width / 2; ++x) {
            const uint8_t *s = &yuyv[(size_t(2 * y) * Width + 2 * x) * 2];
            nv12[size_t(Width) * Height + size_t(y) * Width + 2 * x] = s[1];
            nv12[size_t(Width) * Height + size_t(y) * Width + 2 * x + 1] = s[3];
        }
    return nv12;
}

// Quality 85 with 4:2:2 chroma, what UVC cameras typically stream.
std::vector<uint8_t> sceneJpeg()
{
    const std::vector<uint8_t> bgra = sceneBgra();
    tjhandle encoder = tjInitCompress();
    unsigned char *jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(
        encoder, bgra.data(), Width, Width * 4, Height, TJPF_BGRA, &jpeg, &size, TJSAMP_422, 85, 0);
    std::vector<uint8_t> out(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(encoder);
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

void BM_Yuyv(benchmark::State &state, bool avx2)
{
    static const std::vector<uint8_t> input = sceneYuyv();
    runConverter(state, PixelFormat::Yuyv, input, int(state.range(0)), int(state.range(1)), avx2);
}
BENCHMARK_CAPTURE(BM_Yuyv, baseline, false)
    ->Args({ 1280, 720 })
    ->Args({ 640, 360 })
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Yuyv, avx2, true)
    ->Args({ 1280, 720 })
    ->Args({ 640, 360 })
    ->Unit(benchmark::kMillisecond);

void BM_Nv12(benchmark::State &state, bool avx2)
{
    static const std::vector<uint8_t> input = sceneNv12();
    runConverter(state, PixelFormat::Nv12, input, int(state.range(0)), int(state.range(1)), avx2);
}
BENCHMARK_CAPTURE(BM_Nv12, baseline, false)
    ->Args({ 1280, 720 })
    ->Args({ 640, 360 })
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Nv12, avx2, true)
    ->Args({ 1280, 720 })
    ->Args({ 640, 360 })
    ->Unit(benchmark::kMillisecond);

// The JPEG decode itself is libjpeg-turbo's (with its own SIMD); the variant only affects the
// scaling after it.
void BM_Mjpeg(benchmark::State &state, bool avx2)
{
    static const std::vector<uint8_t> input = sceneJpeg();
    runConverter(state, PixelFormat::Mjpeg, input, int(state.range(0)), int(state.range(1)), avx2);
}
BENCHMARK_CAPTURE(BM_Mjpeg, baseline, false)
    ->Args({ 1280, 720 })
    ->Args({ 640, 360 })
    ->Args({ 853, 480 })
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Mjpeg, avx2, true)
    ->Args({ 1280, 720 })
    ->Args({ 640, 360 })
    ->Args({ 853, 480 })
    ->Unit(benchmark::kMillisecond);

// Scaling on its own, BGRA to BGRA: the box halving (640x360) and the bilinear step (1000x563).
void BM_ScaleBgra(benchmark::State &state, bool avx2)
{
    static const std::vector<uint8_t> input = sceneBgra();
    runConverter(state, PixelFormat::Bgra, input, int(state.range(0)), int(state.range(1)), avx2);
}
BENCHMARK_CAPTURE(BM_ScaleBgra, baseline, false)
    ->Args({ 640, 360 })
    ->Args({ 1000, 563 })
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ScaleBgra, avx2, true)
    ->Args({ 640, 360 })
    ->Args({ 1000, 563 })
    ->Unit(benchmark::kMillisecond);

} // namespace
