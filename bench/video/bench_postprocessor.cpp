// The whole pipeline per frame, one core, on 1280x720 camera frames fresh from
// memory: pass-through, and every effect on (the person mask given, as the
// segmentation's own cost is measured apart), on the AVX2 and the baseline kernels.
// Between frames the benchmark waits past the 35-a-second limit of the blur, so
// that every timed frame runs every stage, as it does at 30 frames a second.
#include "bench/video/scene.h"
#include "video/kernels.h"
#include "video/postprocessor.h"
#include "video/givenmasksp.h"

#include <QApplication>
#include <QBuffer>
#include <QColor>
#include <QImage>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <cmath>

namespace {

constexpr int Ring = 16;

const std::vector<FrameRef> &ring()
{
    static const std::vector<FrameRef> frames = sceneFrames(1280, 720, Ring);
    return frames;
}

// A soft person-shaped mask at the landscape model's size.
MaskRef personMask()
{
    auto mask = std::make_shared<Mask>();
    mask->width = 256;
    mask->height = 144;
    mask->pixels.resize(size_t(256) * 144);
    for (int y = 0; y < 144; ++y)
        for (int x = 0; x < 256; ++x) {
            const double d = std::hypot((x - 128) / 56.0, (y - 86) / 72.0);
            mask->pixels[size_t(y) * 256 + x] = uint8_t(std::clamp((1.15 - d) * 4.0, 0.0, 1.0) * 255);
        }
    return mask;
}

struct Session
{
    QTemporaryDir config;
    std::unique_ptr<BaseSettings> settings;
    Session()
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        settings = std::make_unique<BaseSettings>();
        settings->clear();
    }
};

void BM_FrameCopyFloor(benchmark::State &state)
{
    FramePool pool(1280, 720, 4);
    size_t i = 0;
    for (auto _ : state) {
        FrameRef out = pool.acquire();
        const FrameRef &in = ring()[i++ % Ring];
        kernels::copy({in->data(), 1280, 720, in->stride()}, {out->data(), 1280, 720, out->stride()});
        benchmark::DoNotOptimize(out->data());
    }
}
BENCHMARK(BM_FrameCopyFloor)->Unit(benchmark::kMillisecond);

void BM_PassThrough(benchmark::State &state)
{
    Session session;
    PostProcessor post(session.settings.get());
    size_t i = 0;
    for (auto _ : state) {
        FrameRef out = post.processBuffer(ring()[i++ % Ring]);
        benchmark::DoNotOptimize(out.get());
    }
}
BENCHMARK(BM_PassThrough)->Unit(benchmark::kMillisecond);

// First argument 1: AVX2 kernels, 0: baseline kernels. Second: the coarse rotation
// (0 upright, 1 a quarter turn between pillars).
void BM_WholeChain(benchmark::State &state)
{
    const bool avx2 = state.range(0) != 0;
    const int coarse = int(state.range(1));
    if (avx2 && !kernels::avx2()) {
        state.SkipWithError("no AVX2 on this CPU");
        return;
    }
    kernels::preferBaseline(!avx2);
    Session session;
    BaseSettings &s = *session.settings;
    PostProcessor post(&s);
    kernels::preferBaseline(false);
    state.SetLabel(std::string(avx2 ? "avx2" : "baseline") + (coarse ? ", quarter turn" : ""));
    post.setSegmentationStage(std::make_shared<GivenMaskSP>(personMask()));
    post.setSkinTone(30, false);
    post.setBackgroundBlur(80, false);
    post.setFineCameraRotation(6, false);
    post.setCameraRotation(coarse, false);
    QImage logo(400, 400, QImage::Format_ARGB32);
    logo.fill(QColor(20, 110, 200, 200));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    logo.save(&buffer, "PNG");
    s.setSubSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData, png);
    s.setSubSetting(BaseSettings::LogoOverlay, BaseSettings::Enabled, true);
    s.setSubSetting(BaseSettings::TextOverlay, BaseSettings::Enabled, true);
    post.processBuffer(ring()[0]);
    post.waitForOverlays();
    size_t i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QThread::msleep(30);
        state.ResumeTiming();
        FrameRef out = post.processBuffer(ring()[i++ % Ring]);
        benchmark::DoNotOptimize(out.get());
    }
}
BENCHMARK(BM_WholeChain)->Args({1, 0})->Args({0, 0})->Args({1, 1})->Iterations(120)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
