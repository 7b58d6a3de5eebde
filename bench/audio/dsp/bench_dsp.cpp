// The microphone filters on what the microphone delivers: 25 ms blocks of
// 48 kHz mono Int16. "xRealtime" is seconds of audio per second of CPU.
#include "audio/dsp/dspagcfilter.h"
#include "audio/dsp/dspbassfilter.h"
#include "audio/dsp/dspdynamicscompressorfilter.h"
#include "audio/dsp/dsprnnfilter.h"
#include "audio/dsp/dsptreblefilter.h"
#include "audio/dsp/rnnoise/rnnoise_kernels.h"

#include <benchmark/benchmark.h>

#include <QLoggingCategory>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr int blockSamples = 1200;
constexpr double blockSeconds = 0.025;

using AudioSample = AudioBufferManager::AudioSample;

// A voice-like tone in noise, so every filter has work to do.
AudioSample makeBlock(int index)
{
    static std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 1500.0f);
    std::vector<int16_t> samples(blockSamples);
    for (int i = 0; i < blockSamples; ++i) {
        const double t = double(index * blockSamples + i) / 48000.0;
        samples[size_t(i)] = int16_t(std::lround(4000.0 * std::sin(2 * M_PI * 220 * t) + noise(rng)));
    }
    AudioSample s;
    s.format.setSampleRate(48000);
    s.format.setChannelCount(1);
    s.format.setSampleFormat(QAudioFormat::Int16);
    s.timestamp = 1 + index;
    s.data = QByteArray(reinterpret_cast<const char *>(samples.data()), blockSamples * 2);
    return s;
}

const std::vector<AudioSample> &blocks()
{
    static const std::vector<AudioSample> all = [] {
        std::vector<AudioSample> v;
        for (int i = 0; i < 64; ++i)
            v.push_back(makeBlock(i));
        return v;
    }();
    return all;
}

DSPFilter::Settings group(int strength)
{
    return {{"LastModified", 1}, {"Enabled", true}, {"DSP_Strength", strength}};
}

void report(benchmark::State &state)
{
    state.SetBytesProcessed(int64_t(state.iterations()) * blockSamples * 2);
    state.counters["xRealtime"] =
        benchmark::Counter(double(state.iterations()) * blockSeconds, benchmark::Counter::kIsRate);
}

void quietLogs()
{
    QLoggingCategory::setFilterRules("*.debug=false");
}

} // namespace

static void BM_BlockCopyFloor(benchmark::State &state)
{
    const QByteArray src = blocks()[0].data;
    QByteArray dst(src.size(), Qt::Uninitialized);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.constData(), size_t(src.size()));
        benchmark::DoNotOptimize(dst.data());
    }
    report(state);
}
BENCHMARK(BM_BlockCopyFloor);

static void BM_ConvertInt16ToFloat(benchmark::State &state)
{
    QAudioFormat target = blocks()[0].format;
    target.setSampleFormat(QAudioFormat::Float);
    size_t i = 0;
    for (auto _ : state) {
        AudioSample in = blocks()[i++ % blocks().size()];
        benchmark::DoNotOptimize(in.getAsFormat(target, false).data.constData());
    }
    report(state);
}
BENCHMARK(BM_ConvertInt16ToFloat);

template<typename Filter>
static void BM_Filter(benchmark::State &state)
{
    quietLogs();
    Filter filter;
    const DSPFilter::Settings settings = group(int(state.range(0)));
    size_t i = 0;
    for (auto _ : state) {
        AudioSample in = blocks()[i++ % blocks().size()];
        AudioSample out;
        filter.process(settings, in, out);
        benchmark::DoNotOptimize(out.data.constData());
    }
    report(state);
}
BENCHMARK_TEMPLATE(BM_Filter, DSPRNNFilter)->Arg(100);
BENCHMARK_TEMPLATE(BM_Filter, DSPBassFilter)->Arg(80);
BENCHMARK_TEMPLATE(BM_Filter, DSPTrebleFilter)->Arg(80);
BENCHMARK_TEMPLATE(BM_Filter, DSPAGCFilter)->Arg(50);
BENCHMARK_TEMPLATE(BM_Filter, DSPDynamicsCompressorFilter)->Arg(60);

// All five in chain order, each block handed on as the next filter's input.
static void BM_Chain(benchmark::State &state)
{
    quietLogs();
    std::vector<std::pair<std::unique_ptr<DSPFilter>, DSPFilter::Settings>> chain;
    chain.emplace_back(std::make_unique<DSPRNNFilter>(), group(100));
    chain.emplace_back(std::make_unique<DSPBassFilter>(), group(70));
    chain.emplace_back(std::make_unique<DSPTrebleFilter>(), group(70));
    chain.emplace_back(std::make_unique<DSPAGCFilter>(), group(50));
    chain.emplace_back(std::make_unique<DSPDynamicsCompressorFilter>(), group(60));
    size_t i = 0;
    for (auto _ : state) {
        AudioSample sample = blocks()[i++ % blocks().size()];
        for (auto &[filter, settings] : chain) {
            AudioSample out;
            filter->process(settings, sample, out);
            sample = out;
        }
        benchmark::DoNotOptimize(sample.data.constData());
    }
    report(state);
}
BENCHMARK(BM_Chain);

// The noise suppressor's native kernels, each instruction set on its own:
// the FFT the module runs 7.5 times per block, and the largest recurrent
// layer's weighted sums (96 neurons over 114 inputs and 96 states per gate).
static const RnnoiseKernels *kernelsFor(benchmark::State &state)
{
    const RnnoiseKernels *kernels = state.range(0) ? rnnoiseAvx2Kernels() : rnnoiseBaselineKernels();
    if (!kernels)
        state.SkipWithError("this CPU has no AVX2");
    else
        state.SetLabel(kernels->name);
    return kernels;
}

static void BM_RnnoiseFft(benchmark::State &state)
{
    const RnnoiseKernels *kernels = kernelsFor(state);
    const int16_t factors[16] = {5, 192, 3, 64, 4, 16, 4, 4, 4, 1};
    std::vector<int16_t> order(960);
    std::vector<float> twiddles(2 * 960), in(2 * 960), out(2 * 960);
    for (int k = 0; k < 960; ++k) {
        order[size_t(k)] = int16_t((k * 7) % 960);
        twiddles[size_t(2 * k)] = float(std::cos(-2 * M_PI * k / 960));
        twiddles[size_t(2 * k + 1)] = float(std::sin(-2 * M_PI * k / 960));
        in[size_t(2 * k)] = float(k % 17);
    }
    const RnnoiseFft plan{960, 1.0f / 960, 0, factors, 5, order.data(), twiddles.data()};
    for (auto _ : state) {
        if (!kernels)
            break;
        kernels->fft(&plan, in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_RnnoiseFft)->Arg(0)->Arg(1);

static void BM_RnnoiseWeightedSum(benchmark::State &state)
{
    const RnnoiseKernels *kernels = kernelsFor(state);
    constexpr int neurons = 96, inputs = 114 + 96, stride = 3 * neurons;
    std::vector<int8_t> weights(size_t(inputs * stride));
    for (size_t i = 0; i < weights.size(); ++i)
        weights[i] = int8_t(i * 37);
    std::vector<float> input(size_t(inputs), 0.25f), sums(static_cast<size_t>(neurons));
    for (auto _ : state) {
        if (!kernels)
            break;
        kernels->weightedSum(sums.data(), neurons, weights.data(), stride, input.data(), inputs);
        benchmark::DoNotOptimize(sums.data());
    }
}
BENCHMARK(BM_RnnoiseWeightedSum)->Arg(0)->Arg(1);

