// Frames per second and latency from the simulated camera, through the effects,
// to a reader of the shared-memory camera: the road every call application's
// frame takes. Each run feeds for a few seconds; counters carry the figures.

#include "app/core/basesettings.h"
#include "camera/capturesession.h"
#include "resources/resources.h"
#include "vcam/sharedframering.h"
#include "vcam/vcam.h"
#include "video/postprocessor.h"

#include <QCoreApplication>
#include <QApplication>
#include <QFile>
#include <QStandardPaths>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {

int64_t monotonicNowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A logo as a user would pick one: a PNG with transparency.
QByteArray logoPng()
{
    resources::init();
    QFile file(QStringLiteral(":/assets/app_dark.png"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void configureEffects(BaseSettings &settings, PostProcessor &effects, bool on)
{
    effects.setSkinTone(on ? 80 : 50, false);
    effects.setBackgroundBlur(on ? 60 : 0, false);
    effects.setCameraRotation(on ? 1 : 0, false);
    effects.setFineCameraRotation(on ? 10 : 0, false);
    settings.setSubSetting(BaseSettings::TextOverlay, BaseSettings::Enabled, on);
    settings.setSubSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData, on ? logoPng() : QByteArray());
    settings.setSubSetting(BaseSettings::LogoOverlay, BaseSettings::Enabled, on);
}

void BM_FeedToReader(benchmark::State &state)
{
    const bool effectsOn = state.range(0) != 0;
    const int seconds = 5;
    BaseSettings settings;
    VCam vcam(&settings, nullptr);
    configureEffects(settings, *vcam.postProcessor(), effectsOn);

    for (auto _ : state) {
        SharedFrameRing reader(SharedFrameRing::Role::Reader);
        reader.registerClient(); // a client, so the feed runs
        if (!vcam.start()) {
            state.SkipWithError("the feed did not start");
            return;
        }
        FrameRef frame = Frame::create(SharedFrameRing::Width, SharedFrameRing::Height);
        // Settle: the first frames pay for stage start-up.
        for (int i = 0; i < 15; ++i)
            reader.readNext(*frame, 1000);

        std::vector<double> latencies;
        const uint64_t publishedBefore = reader.framesPublished();
        const int64_t start = monotonicNowUs();
        while (monotonicNowUs() - start < int64_t(seconds) * 1'000'000) {
            if (reader.readNext(*frame, 200))
                latencies.push_back((monotonicNowUs() - frame->timestampUs()) / 1000.0);
        }
        const double elapsed = (monotonicNowUs() - start) / 1e6;
        const double published = double(reader.framesPublished() - publishedBefore);
        vcam.stop();

        std::sort(latencies.begin(), latencies.end());
        state.counters["fps"] = double(latencies.size()) / elapsed;
        // The simulated camera delivers 30 frames per second.
        state.counters["dropped"] = std::max(0.0, 30.0 * elapsed - published);
        state.counters["latency_ms_median"] = latencies.empty() ? 0 : latencies[latencies.size() / 2];
        state.counters["latency_ms_p95"] = latencies.empty() ? 0 : latencies[latencies.size() * 95 / 100];
    }
}
BENCHMARK(BM_FeedToReader)->Arg(0)->Arg(1)->ArgName("effects")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv); // the overlays draw their shadows with graphics effects
    QStandardPaths::setTestModeEnabled(true);
    CaptureSession::useSimulatedCameras(true);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
