// The pixel kernels of the video effects on 1280x720 frames, one core, each
// instruction set as its own benchmark (argument 0 = baseline, 1 = AVX2), beside
// the floor: one memcpy of a frame fresh from memory.
#include "bench/video/scene.h"
#include "video/imageblursp.h"
#include "video/imagerotatesp.h"
#include "video/kernels.h"

#include <benchmark/benchmark.h>

#include <cmath>

namespace {

constexpr int Width = 1280, Height = 720, Ring = 16;

const std::vector<FrameRef> &ring()
{
    static const std::vector<FrameRef> frames = sceneFrames(Width, Height, Ring);
    return frames;
}

kernels::ConstBgra view(const FrameRef &f)
{
    return {f->data(), f->width(), f->height(), f->stride()};
}

kernels::Bgra target(const FrameRef &f)
{
    return {f->data(), f->width(), f->height(), f->stride()};
}

const kernels::Table *tableFor(benchmark::State &state)
{
    const kernels::Table *t = state.range(0) ? kernels::avx2() : &kernels::baseline();
    if (!t)
        state.SkipWithError("no AVX2 on this CPU");
    else
        state.SetLabel(t->name);
    return t;
}

// A soft person-shaped mask at the landscape model's size.
std::vector<uint8_t> personMask(int w, int h)
{
    std::vector<uint8_t> m(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double dx = (x - w * 0.5) / (w * 0.22), dy = (y - h * 0.6) / (h * 0.5);
            const double d = std::sqrt(dx * dx + dy * dy);
            m[size_t(y) * w + x] = uint8_t(std::clamp((1.15 - d) * 4.0, 0.0, 1.0) * 255);
        }
    return m;
}

void BM_FrameCopyFloor(benchmark::State &state)
{
    FramePool pool(Width, Height, 4);
    size_t i = 0;
    for (auto _ : state) {
        FrameRef out = pool.acquire();
        kernels::copy(view(ring()[i++ % Ring]), target(out));
        benchmark::DoNotOptimize(out->data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * Width * Height * 4);
}
BENCHMARK(BM_FrameCopyFloor)->Unit(benchmark::kMillisecond);

void BM_SkinTone(benchmark::State &state)
{
    const kernels::Table *k = tableFor(state);
    if (!k)
        return;
    FrameRef small = Frame::create(Width / 4, Height / 4);
    std::vector<uint8_t> mask(size_t(Width / 4) * (Height / 4));
    std::vector<uint8_t> work(kernels::skinToneWorkBytes(Width));
    FrameRef out = Frame::create(Width, Height);
    float matrix[9];
    kernels::hueRotation(0.4f, matrix);
    size_t i = 0;
    for (auto _ : state) {
        const FrameRef &in = ring()[i++ % Ring];
        k->downscale4(view(in), target(small));
        kernels::Gray g{mask.data(), Width / 4, Height / 4, Width / 4};
        k->skinMask(view(small), g);
        k->skinTone(view(in), {mask.data(), Width / 4, Height / 4, Width / 4}, matrix, target(out),
                    work.data(), kernels::Area::whole(Width, Height));
        benchmark::DoNotOptimize(out->data());
    }
}
BENCHMARK(BM_SkinTone)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Blur of the background (downscale by 4 + blur at 320x180) and its blend with the
// foreground through a 256x144 mask; the second argument is the blur value 1..100.
void BM_BlurBlend(benchmark::State &state)
{
    const kernels::Table *k = tableFor(state);
    if (!k)
        return;
    CameraSetting blur;
    blur.value = state.range(1);
    blur.maximum = 100;
    const float sigma = kernels::quarterSizeSigma(float(ImageBlurSP::blurRadius(Width, Height, blur)));
    const float weight = ImageBlurSP::backgroundWeight(Width, Height, blur);
    FrameRef small = Frame::create(Width / 4, Height / 4);
    std::vector<uint8_t> blurWork(kernels::blurWorkBytes(Width / 4, Height / 4));
    std::vector<uint8_t> blendWork(kernels::blendWorkBytes(Width));
    const Mask mask{256, 144, personMask(256, 144)};
    Mask weak;
    FrameRef out = Frame::create(Width, Height);
    size_t i = 0;
    for (auto _ : state) {
        const FrameRef &in = ring()[i++ % Ring];
        k->downscale4(view(in), target(small));
        k->blur(view(small), target(small), sigma, blurWork.data());
        // Below the least blur of the quarter-size picture the mask is weakened.
        const Mask &m = weight < 1.0f ? ImageBlurSP::weakenBackground(mask, weight, weak) : mask;
        k->blendMask(view(in), view(small), {m.pixels.data(), 256, 144, 256}, target(out), blendWork.data(),
                     kernels::Area::whole(Width, Height));
        benchmark::DoNotOptimize(out->data());
    }
}
BENCHMARK(BM_BlurBlend)->ArgsProduct({{0, 1}, {1, 6, 30, 100}})->Unit(benchmark::kMillisecond);

// Argument 1: AVX2 kernels, 0: baseline. Second: 0 fine rotation 20 (10 degrees)
// with its zoom; 1 a quarter turn between pillars with fine rotation 6, the columns
// the pillars leave.
void BM_Rotate(benchmark::State &state)
{
    const kernels::Table *k = tableFor(state);
    if (!k)
        return;
    const int coarse = int(state.range(1)), fine = coarse ? 6 : 20;
    const ImageRotateSP::Geometry g = ImageRotateSP::geometry(Width, Height, coarse, fine);
    const kernels::Affine m = ImageRotateSP::sourceMap(g, Width, Height);
    const int pillar = coarse ? int(std::min(g.pillarWidth, Width * 0.5f)) : 0;
    FrameRef out = Frame::create(Width, Height);
    const std::vector<FrameRef> &frames = ring(); // made before the timing starts
    size_t i = 0;
    for (auto _ : state) {
        k->warp(view(frames[i++ % Ring]), target(out), m, pillar, Width - pillar, 0xff000000u);
        benchmark::DoNotOptimize(out->data());
    }
}
BENCHMARK(BM_Rotate)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond);

void BM_OverlayOver(benchmark::State &state)
{
    const kernels::Table *k = tableFor(state);
    if (!k)
        return;
    // A 400x400 premultiplied logo: clear, translucent and opaque parts.
    FrameRef logo = Frame::create(400, 400);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 400; ++x) {
            const int a = x < 130 ? 0 : (x < 250 ? 128 : 255);
            uint8_t *p = logo->row(y) + 4 * x;
            p[0] = uint8_t(a * 200 / 255);
            p[1] = uint8_t(a * 50 / 255);
            p[2] = uint8_t(a * 90 / 255);
            p[3] = uint8_t(a);
        }
    FrameRef out = Frame::create(Width, Height);
    kernels::copy(view(ring()[0]), target(out));
    for (auto _ : state) {
        k->over(view(logo), target(out), 840, 280);
        benchmark::DoNotOptimize(out->data());
    }
}
BENCHMARK(BM_OverlayOver)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace
