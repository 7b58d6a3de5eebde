// The virtual microphone on a running sound server, end to end: how long a
// click takes from the camera microphone to the virtual device, how much
// processor time the path costs, and every gap in what the virtual device
// plays. It needs the fake camera microphone (fed through the sink
// "talvento_cam_feed") and the virtual audio device; scripts/bench-vmic
// starts a private sound server with both and runs this.

#include "app/core/basesettings.h"
#include "audio/pulsestream.h"
#include "audio/vmic.h"

#include <QCoreApplication>
#include <QStandardPaths>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int sampleRate = 48000;

int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double processSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QAudioFormat monoInt16()
{
    QAudioFormat format;
    format.setSampleFormat(QAudioFormat::Int16);
    format.setChannelCount(1);
    format.setSampleRate(sampleRate);
    return format;
}

// A capture with the time every chunk arrived, so that a sample's moment is
// known to within the polling period.
struct Recorder
{
    PulseStream stream;
    std::vector<int16_t> samples;
    std::vector<std::pair<size_t, int64_t>> chunkEnds; // sample count after the chunk, arrival time

    bool open(const char *source)
    {
        return stream.open(PulseStream::Direction::Capture, QString::fromLatin1(source), monoInt16(), 10000,
                           nullptr, nullptr);
    }

    void poll()
    {
        const QByteArray bytes = stream.readAll();
        if (bytes.isEmpty())
            return;
        const auto *data = reinterpret_cast<const int16_t *>(bytes.constData());
        samples.insert(samples.end(), data, data + bytes.size() / 2);
        chunkEnds.emplace_back(samples.size(), nowUs());
    }

    int64_t timeOfSampleUs(size_t index) const
    {
        const auto chunk = std::lower_bound(chunkEnds.begin(), chunkEnds.end(), index + 1,
                                            [](const auto &end, size_t wanted) { return end.first < wanted; });
        if (chunk == chunkEnds.end())
            return -1;
        return chunk->second - int64_t(chunk->first - index) * 1000000 / sampleRate;
    }
};

// Plays a signal into the fake microphone's feed: a quiet noise floor, so
// that nothing downstream is ever digitally silent on its own, with either a
// tone burst every second (the clicks) or a voice-like warble.
class Player
{
public:
    enum class Signal { Clicks, Voice };

    bool open(Signal signal)
    {
        m_signal = signal;
        return m_stream.open(PulseStream::Direction::Playback, QStringLiteral("talvento_cam_feed"), monoInt16(), 20000,
                             nullptr, nullptr);
    }

    void poll()
    {
        const qint64 room = m_stream.writableBytes() / 2;
        if (room <= 0)
            return;
        std::vector<int16_t> block(static_cast<size_t>(room));
        for (int16_t &sample : block)
            sample = next();
        m_stream.write(reinterpret_cast<const char *>(block.data()), qint64(block.size() * 2));
    }

private:
    int16_t next()
    {
        const double t = double(m_position++) / sampleRate;
        double value = m_noise(m_random) * 0.003;
        if (m_signal == Signal::Clicks) {
            const double intoSecond = t - std::floor(t);
            if (intoSecond < 0.03)
                value += 0.5 * std::sin(2 * M_PI * 1000 * t);
        } else {
            const double syllables = 0.5 + 0.5 * std::sin(2 * M_PI * 3 * t);
            value += 0.3 * syllables * (std::sin(2 * M_PI * 220 * t) + 0.5 * std::sin(2 * M_PI * 660 * t)) / 1.5;
        }
        return int16_t(std::clamp(value, -1.0, 1.0) * 32767);
    }

    PulseStream m_stream;
    Signal m_signal = Signal::Clicks;
    int64_t m_position = 0;
    std::mt19937 m_random{7};
    std::normal_distribution<double> m_noise{0.0, 1.0};
};

// Plays and records for `seconds`, polling every millisecond on this thread
// while the Qt event loop stays free for the microphone's own work.
void playAndRecord(Player &player, std::vector<Recorder *> recorders, double seconds)
{
    const int64_t end = nowUs() + int64_t(seconds * 1e6);
    while (nowUs() < end) {
        player.poll();
        for (Recorder *recorder : recorders)
            recorder->poll();
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::vector<size_t> onsets(const std::vector<int16_t> &samples, int threshold)
{
    std::vector<size_t> found;
    size_t quietSince = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(int(samples[i])) < threshold)
            continue;
        if (i - quietSince > size_t(sampleRate / 2))
            found.push_back(i);
        quietSince = i;
    }
    return found;
}

void enableWholeChain(BaseSettings &settings)
{
    for (BaseSettings::Settings group : {BaseSettings::DSPRNN, BaseSettings::DSPBass, BaseSettings::DSPTreble,
                                         BaseSettings::DSPAGC, BaseSettings::DSPCompressor})
        settings.setSubSetting(group, BaseSettings::Enabled, true);
}

// Milliseconds from each click's arrival at the microphone to its arrival at `out`, sorted.
std::vector<double> clickLatencies(const Recorder &microphone, const Recorder &out)
{
    std::vector<double> latencies;
    for (size_t sent : onsets(microphone.samples, 8000)) {
        const int64_t sentUs = microphone.timeOfSampleUs(sent);
        // The first sample of the output well above its own floor after the click went in.
        for (size_t arrived : onsets(out.samples, 3000)) {
            const int64_t arrivedUs = out.timeOfSampleUs(arrived);
            if (arrivedUs >= sentUs && arrivedUs - sentUs < 500000) {
                latencies.push_back(double(arrivedUs - sentUs) / 1000);
                break;
            }
        }
    }
    std::sort(latencies.begin(), latencies.end());
    return latencies;
}

void BM_ClickLatency(benchmark::State &state)
{
    BaseSettings settings;
    enableWholeChain(settings);
    settings.setSubSetting(BaseSettings::DSPRNN, BaseSettings::Enabled, state.range(0) != 0);
    VMic vmic(&settings, nullptr);
    for (auto _ : state) {
        Player player;
        Recorder microphone;
        Recorder virtualMicrophone;   // the remapped source that call applications record
        Recorder virtualMonitor;      // the virtual device's own monitor, one server step earlier
        if (!vmic.start() || !player.open(Player::Signal::Clicks) || !microphone.open("talvento_cam_mic")
            || !virtualMicrophone.open("talvento_control_mic") || !virtualMonitor.open("talvento_control.monitor")) {
            state.SkipWithError("the sound server lacks the fake microphone or the virtual audio device");
            return;
        }
        playAndRecord(player, {&microphone, &virtualMicrophone, &virtualMonitor}, 12);
        vmic.stop();

        const std::vector<double> latencies = clickLatencies(microphone, virtualMicrophone);
        const std::vector<double> monitor = clickLatencies(microphone, virtualMonitor);
        if (latencies.empty() || monitor.empty()) {
            state.SkipWithError("no click came through");
            return;
        }
        state.counters["clicks"] = double(latencies.size());
        state.counters["latency_ms_min"] = latencies.front();
        state.counters["latency_ms_median"] = latencies[latencies.size() / 2];
        state.counters["latency_ms_max"] = latencies.back();
        state.counters["monitor_latency_ms_median"] = monitor[monitor.size() / 2];
    }
}

struct Gaps
{
    int count = 0;
    double longestMs = 0;
};

// Runs of digital silence of 2 ms or more: the input never is silent, so
// each is audio the virtual device did not get in time.
Gaps digitalSilence(const std::vector<int16_t> &samples)
{
    Gaps gaps;
    size_t run = 0;
    const size_t shortest = sampleRate / 500;
    for (size_t i = 0; i <= samples.size(); ++i) {
        if (i < samples.size() && samples[i] == 0) {
            ++run;
            continue;
        }
        if (run >= shortest) {
            ++gaps.count;
            gaps.longestMs = std::max(gaps.longestMs, double(run) * 1000 / sampleRate);
        }
        run = 0;
    }
    return gaps;
}

void BM_Continuity(benchmark::State &state)
{
    const double seconds = double(state.range(0));
    BaseSettings settings;
    enableWholeChain(settings);
    VMic vmic(&settings, nullptr);
    for (auto _ : state) {
        Player player;
        Recorder virtualDevice;
        if (!player.open(Player::Signal::Voice) || !virtualDevice.open("talvento_control_mic")) {
            state.SkipWithError("the sound server lacks the fake microphone or the virtual audio device");
            return;
        }
        // What the measuring itself costs, to take away from the path's share.
        double cpu = processSeconds();
        int64_t wall = nowUs();
        playAndRecord(player, {&virtualDevice}, 5);
        const double probeShare = (processSeconds() - cpu) / (double(nowUs() - wall) / 1e6);

        if (!vmic.start()) {
            state.SkipWithError("the virtual microphone did not start");
            return;
        }
        playAndRecord(player, {&virtualDevice}, 1); // the devices settle
        virtualDevice.samples.clear();
        virtualDevice.chunkEnds.clear();
        cpu = processSeconds();
        wall = nowUs();
        playAndRecord(player, {&virtualDevice}, seconds);
        const double share = (processSeconds() - cpu) / (double(nowUs() - wall) / 1e6);
        vmic.stop();

        const Gaps gaps = digitalSilence(virtualDevice.samples);
        state.counters["seconds_recorded"] = double(virtualDevice.samples.size()) / sampleRate;
        state.counters["gaps"] = gaps.count;
        state.counters["longest_gap_ms"] = gaps.longestMs;
        state.counters["cpu_percent_path"] = 100 * (share - probeShare);
        state.counters["cpu_percent_measuring"] = 100 * probeShare;
    }
}

} // namespace

BENCHMARK(BM_ClickLatency)->ArgName("noise_suppression")->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_Continuity)->ArgName("seconds")->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char **argv)
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
