// One inference of each segmentation model per kernel variant, the picture
// side on a 1280x720 BGRA frame (resample, inference, 8-bit mask scaled back
// to the frame), and the whole PersonSegmentationSP call. Multiply-adds per
// second are reported as MAC/s.

#include "video/nn/segmenter.h"
#include "video/personsegmentationsp.h"

#include <QCoreApplication>
#include <QImage>
#include <QThread>

#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

constexpr int FrameWidth = 1280, FrameHeight = 720, FrameStride = FrameWidth * 4;

const nn::Kernels *variant(bool avx2);

/// The model with one kernel variant; null (and the benchmark skipped) when
/// the CPU lacks it or the model cannot be loaded.
std::unique_ptr<nn::Segmenter> load(nn::Segmenter::Model model, bool avx2, int threads, benchmark::State &state)
{
    const nn::Kernels *kernels = variant(avx2);
    if (!kernels) {
        state.SkipWithError("this CPU lacks AVX2/FMA");
        return nullptr;
    }
    const std::string exeDir = std::filesystem::canonical("/proc/self/exe").parent_path().string();
    std::string error;
    auto segmenter = nn::Segmenter::load(nn::Segmenter::findModel(model, exeDir), {threads, kernels}, &error);
    if (!segmenter)
        state.SkipWithError(error.c_str());
    return segmenter;
}

const nn::Kernels *variant(bool avx2)
{
    if (!avx2)
        return &nn::baselineKernels();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? &nn::avx2Kernels() : nullptr;
}

/// The portrait photo stretched to a 1280x720 BGRA frame; empty when missing.
std::vector<uint8_t> testFrame()
{
    const QImage picture = QImage(TALVENTO_SOURCE_DIR "/.deps/astronaut.png")
                               .scaled(FrameWidth, FrameHeight, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                               .convertToFormat(QImage::Format_ARGB32);
    if (picture.isNull())
        return {};
    std::vector<uint8_t> frame(size_t(FrameStride) * FrameHeight);
    for (int y = 0; y < FrameHeight; ++y)
        std::memcpy(&frame[size_t(y) * FrameStride], picture.constScanLine(y), FrameStride);
    return frame;
}

void inference(benchmark::State &state, nn::Segmenter::Model model, bool avx2, int threads)
{
    auto segmenter = load(model, avx2, threads, state);
    if (!segmenter)
        return;
    nn::Network &net = segmenter->network();
    const std::vector<uint8_t> frame = testFrame();
    if (!segmenter->run(frame.data(), FrameWidth, FrameHeight, FrameStride)) {
        state.SkipWithError("no test picture: run scripts/setup");
        return;
    }
    for (auto _ : state) {
        net.run();
        benchmark::DoNotOptimize(net.output());
    }
    state.counters["MAC/s"] = benchmark::Counter(double(net.multiplyAdds()), benchmark::Counter::kIsIterationInvariantRate);
}

void wholeFrame(benchmark::State &state, nn::Segmenter::Model model, bool avx2, int threads)
{
    auto segmenter = load(model, avx2, threads, state);
    if (!segmenter)
        return;
    const std::vector<uint8_t> frame = testFrame();
    if (frame.empty()) {
        state.SkipWithError("no test picture: run scripts/setup");
        return;
    }
    std::vector<uint8_t> mask(size_t(FrameWidth) * FrameHeight);
    for (auto _ : state) {
        benchmark::DoNotOptimize(segmenter->run(frame.data(), FrameWidth, FrameHeight, FrameStride));
        segmenter->mask(mask.data(), FrameWidth, FrameHeight, FrameWidth);
        benchmark::DoNotOptimize(mask.data());
    }
}

void maskOnly(benchmark::State &state, bool avx2)
{
    auto segmenter = load(nn::Segmenter::Model::Landscape, avx2, 1, state);
    if (!segmenter)
        return;
    const std::vector<uint8_t> frame = testFrame();
    if (!segmenter->run(frame.data(), FrameWidth, FrameHeight, FrameStride)) {
        state.SkipWithError("no test picture: run scripts/setup");
        return;
    }
    std::vector<uint8_t> mask(size_t(FrameWidth) * FrameHeight);
    for (auto _ : state) {
        segmenter->mask(mask.data(), FrameWidth, FrameHeight, FrameWidth);
        benchmark::DoNotOptimize(mask.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(mask.size()));
}

/// The stage's processImage on a 1280x720 frame. Calls are spaced past the
/// stage's 28 ms interval (outside the timing) so every call does the work.
void personSegmentationSP(benchmark::State &state)
{
    static int argc = 1;
    static char name[] = "bench_segmentation";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    PersonSegmentationSP stage;
    const std::vector<uint8_t> pixels = testFrame();
    if (pixels.empty()) {
        state.SkipWithError("no test picture: run scripts/setup");
        return;
    }
    FrameRef frame = Frame::create(FrameWidth, FrameHeight);
    for (int y = 0; y < FrameHeight; ++y)
        std::memcpy(frame->row(y), &pixels[size_t(y) * FrameStride], FrameStride);
    const VideoImage image{frame, nullptr};
    for (auto _ : state) {
        state.PauseTiming();
        QThread::msleep(30);
        state.ResumeTiming();
        if (stage.processImage(image, FrameWidth, FrameHeight, CameraSetting{}).isNull()) {
            state.SkipWithError("no mask");
            return;
        }
    }
}

/// The floor: one cold-ish copy of a 1280x720 BGRA frame.
void frameCopyFloor(benchmark::State &state)
{
    std::vector<uint8_t> src(size_t(FrameStride) * FrameHeight, 1), dst(src.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(src.size()));
}

using M = nn::Segmenter::Model;

} // namespace

BENCHMARK(frameCopyFloor)->Unit(benchmark::kMicrosecond);
BENCHMARK(personSegmentationSP)->Unit(benchmark::kMillisecond)->Iterations(100);
BENCHMARK_CAPTURE(inference, landscape_avx2, M::Landscape, true, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(inference, landscape_baseline, M::Landscape, false, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(inference, landscape_avx2_2threads, M::Landscape, true, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(inference, general_avx2, M::General, true, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(inference, general_baseline, M::General, false, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(wholeFrame, frame720p_landscape_avx2, M::Landscape, true, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(wholeFrame, frame720p_landscape_baseline, M::Landscape, false, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(wholeFrame, frame720p_general_avx2, M::General, true, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(maskOnly, mask720p_avx2, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(maskOnly, mask720p_baseline, false)->Unit(benchmark::kMicrosecond);
