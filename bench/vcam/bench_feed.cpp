// Frames per second and latency from the simulated camera, through the effects,
// to a reader of the shared-memory camera: the road every call application's
// frame takes. Each run feeds for a few seconds; counters carry the figures.
// The PipeWire benchmarks need a PipeWire server with WirePlumber (see
// scripts/bench-pipewire-camera) and GStreamer's pipewiresrc as the reader.

#include "app/core/basesettings.h"
#include "camera/capturesession.h"
#include "resources/resources.h"
#include "vcam/pipewireoutput.h"
#include "vcam/sharedframering.h"
#include "vcam/vcam.h"
#include "vcam/virtualcamera.h"
#include "video/personsegmentationsp.h"
#include "video/postprocessor.h"

#include <QCoreApplication>
#include <QApplication>
#include <QFile>
#include <QStandardPaths>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

int64_t monotonicNowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

double medianOf(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double threadCpuMs()
{
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

/// GStreamer's pipewiresrc reading the PipeWire camera (`target`: a pipewiresrc property) in
/// `format`, handing on only the first eight pixels of each frame, as they arrive.
class GStreamerReader
{
public:
    static constexpr size_t Bytes = 32;

    GStreamerReader(const std::string &target, const char *format, int frames)
    {
        const std::string command = "exec timeout 60 gst-launch-1.0 -q pipewiresrc " + target
            + " num-buffers=" + std::to_string(frames) + " ! video/x-raw,format=" + format
            + " ! videoconvert ! video/x-raw,format=BGRx ! videocrop right=1272 bottom=719 ! fdsink fd=1";
        m_pipe = popen(command.c_str(), "r");
    }
    ~GStreamerReader()
    {
        if (m_pipe)
            pclose(m_pipe);
    }
    /// Blocks for the next frame; false once the reader has ended.
    bool next(std::array<uint8_t, Bytes> &pixels) { return m_pipe && fread(pixels.data(), 1, Bytes, m_pipe) == Bytes; }

private:
    FILE *m_pipe = nullptr;
};

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

// What publishing a frame costs the sink thread while a reader takes it in `format`: the
// conversion into PipeWire's buffer and the queueing, in CPU time of the writing thread.
void BM_PipeWirePublish(benchmark::State &state)
{
    const char *format = state.range(0) ? "BGRx" : "YUY2";
    auto output = std::make_unique<PipeWireOutput>();
    for (int i = 0; i < 100 && output->nodeId() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (output->nodeId() == 0) {
        state.SkipWithError("no PipeWire server");
        return;
    }
    // By id: the application's own node, published too, has the same name.
    GStreamerReader reader("path=" + std::to_string(output->nodeId()), format, 100000);
    std::thread drain([&reader] {
        std::array<uint8_t, GStreamerReader::Bytes> pixels;
        while (reader.next(pixels)) { }
    });
    const FrameRef frame = Frame::create(SharedFrameRing::Width, SharedFrameRing::Height);
    std::memset(frame->data(), 0x80, frame->byteCount());
    for (int i = 0; i < 100 && output->clientCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<double> costs;
    for (auto _ : state) {
        // At the camera's pace, so that the reader returns its buffers.
        const auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(33);
        const double before = threadCpuMs();
        output->write(*frame);
        const double cost = threadCpuMs() - before;
        costs.push_back(cost);
        state.SetIterationTime(cost / 1e3);
        std::this_thread::sleep_until(next);
    }
    const bool reading = output->clientCount() > 0;
    output.reset(); // the reader ends with the node
    drain.join();
    if (!reading)
        state.SkipWithError("the reader never linked");
    state.counters["cpu_ms_median"] = medianOf(costs);
}
BENCHMARK(BM_PipeWirePublish)->Arg(0)->Arg(1)->ArgName("bgrx")->Iterations(150)->UseManualTime()->Unit(benchmark::kMillisecond);

// Camera -> effects (all on) -> sink stream -> PipeWire -> GStreamer: each frame carries its
// camera timestamp in its first pixels, written after the effects, read where it arrives.
void BM_CameraToGStreamer(benchmark::State &state)
{
    BaseSettings settings;
    PostProcessor effects(&settings, nullptr);
    effects.setSegmentationStage(std::make_shared<PersonSegmentationSP>());
    configureEffects(settings, effects, true);
    virtualcamera::publish();
    const uint32_t device = getExtensionDeviceId();
    if (device == 0 || !virtualcamera::startStream(device, virtualcamera::streams(device).value(1))) {
        state.SkipWithError("no virtual camera");
        return;
    }
    const uint32_t sink = virtualcamera::streams(device).value(1);
    std::shared_ptr<CaptureSession> session;
    for (const CameraDevice &camera : CaptureSession::availableCameras()) {
        if (camera.localizedName.contains(QLatin1String("Talvento Camera Pro")))
            session = std::make_shared<CaptureSession>(
                [&] {
                    FrameRef out = effects.processBuffer(session->grabBuffer());
                    if (!out)
                        return;
                    const int64_t stamp = out->timestampUs();
                    std::memcpy(out->row(0), &stamp, sizeof stamp);
                    virtualcamera::enqueue(sink, std::move(out));
                },
                camera, QSize(1280, 720));
    }
    if (!session || !session->startCapture()) {
        state.SkipWithError("no simulated camera");
        return;
    }
    for (auto _ : state) {
        GStreamerReader reader("target-object=talvento_control_camera", "BGRx", 300);
        std::vector<double> latencies;
        std::array<uint8_t, GStreamerReader::Bytes> pixels;
        for (int skip = 0; skip < 30 && reader.next(pixels); ++skip) { } // stage start-up
        while (reader.next(pixels)) {
            int64_t stamp = 0;
            std::memcpy(&stamp, pixels.data(), sizeof stamp);
            latencies.push_back((monotonicNowUs() - stamp) / 1000.0);
        }
        std::sort(latencies.begin(), latencies.end());
        state.counters["frames"] = double(latencies.size());
        state.counters["latency_ms_median"] = medianOf(latencies);
        state.counters["latency_ms_p90"] = latencies.empty() ? 0 : latencies[latencies.size() * 9 / 10];
    }
    session->stopCapture();
    virtualcamera::stopStream(device, sink);
}
BENCHMARK(BM_CameraToGStreamer)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The feed as the application runs it, its camera closed for want of readers: from a GStreamer
// reader's start to its first frame (the idle picture) and to its first camera frame.
void BM_GStreamerStartToFirstFrame(benchmark::State &state)
{
    BaseSettings settings;
    VCam vcam(&settings, nullptr);
    configureEffects(settings, *vcam.postProcessor(), true);
    if (!vcam.start()) {
        state.SkipWithError("the feed did not start");
        return;
    }
    std::vector<double> firstFrame, firstCameraFrame;
    for (auto _ : state) {
        for (int i = 0; i < 200 && vcam.isGrabberRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (vcam.isGrabberRunning()) {
            state.SkipWithError("the camera stayed open without readers");
            return;
        }
        const int64_t start = monotonicNowUs();
        GStreamerReader reader("target-object=talvento_control_camera", "YUY2", 100);
        std::array<uint8_t, GStreamerReader::Bytes> pixels;
        double first = -1;
        while (reader.next(pixels)) {
            const double ms = (monotonicNowUs() - start) / 1000.0;
            if (first < 0)
                first = ms;
            // The idle picture is one flat colour at its edge; the camera's picture is not.
            if (std::abs(pixels[0] - 30) > 12 || std::abs(pixels[1] - 26) > 12 || std::abs(pixels[2] - 24) > 12) {
                firstCameraFrame.push_back(ms);
                break;
            }
        }
        firstFrame.push_back(first);
    }
    vcam.stop();
    state.counters["first_frame_ms_median"] = medianOf(firstFrame);
    state.counters["first_camera_frame_ms_median"] = medianOf(firstCameraFrame);
    state.counters["first_camera_frame_ms_max"]
        = firstCameraFrame.empty() ? 0 : *std::max_element(firstCameraFrame.begin(), firstCameraFrame.end());
}
BENCHMARK(BM_GStreamerStartToFirstFrame)->Iterations(5)->Unit(benchmark::kSecond)->UseRealTime();

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
