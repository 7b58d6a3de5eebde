// talvento-vcam-view: a client of the shared-memory virtual camera "Talvento
// Control". Connecting counts as a client, so the camera feed runs while it
// watches. It saves a frame, measures the stream, or shows it in a window.

#include "camera/frame.h"
#include "vcam/sharedframering.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

// Five frame times at 30 frames per second: a pause a viewer sees as a stutter.
constexpr int64_t LongGapUs = 166'000;

int64_t monotonicNowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

QImage toImage(const Frame &frame)
{
    return QImage(frame.data(), frame.width(), frame.height(), frame.stride(), QImage::Format_ARGB32).copy();
}

int saveNextFrame(SharedFrameRing &ring, Frame &frame, const QString &path, int timeoutMs)
{
    if (!ring.readNext(frame, timeoutMs)) {
        std::fprintf(stderr, "talvento-vcam-view: no frame within %d ms\n", timeoutMs);
        return 1;
    }
    // The file name's suffix picks the format (png, ppm, jpg, ...); PNG without one.
    if (!toImage(frame).save(path, QFileInfo(path).suffix().isEmpty() ? "PNG" : nullptr)) {
        std::fprintf(stderr, "talvento-vcam-view: cannot write %s\n", qPrintable(path));
        return 1;
    }
    std::printf("saved %dx%d frame to %s\n", frame.width(), frame.height(), qPrintable(path));
    return 0;
}

// Camera frames that never arrived, from the steps between the capture times of the frames
// that did: a step of about n camera periods hides n - 1 frames. The period is the median step.
int64_t missingFrames(const std::vector<int64_t> &captureUs)
{
    if (captureUs.size() < 3)
        return 0;
    std::vector<int64_t> steps(captureUs.size() - 1);
    for (size_t i = 0; i + 1 < captureUs.size(); ++i)
        steps[i] = captureUs[i + 1] - captureUs[i];
    std::vector<int64_t> sorted = steps;
    std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
    const int64_t period = sorted[sorted.size() / 2];
    if (period <= 0)
        return 0;
    int64_t missing = 0;
    for (int64_t step : steps)
        missing += std::max<int64_t>(0, std::llround(double(step) / double(period)) - 1);
    return missing;
}

int measure(SharedFrameRing &ring, Frame &frame, int seconds)
{
    std::vector<double> latenciesMs;
    std::vector<int64_t> captureUs;
    const uint64_t publishedBefore = ring.framesPublished();
    const int64_t start = monotonicNowUs();
    const int64_t end = start + int64_t(seconds) * 1'000'000;
    // A stall shows as a long wait between two frames, however good the average rate. Gaps
    // count from the first frame: the feed starts its camera only once a client is there.
    int64_t first = 0;
    int64_t previous = 0;
    int64_t longestGapUs = 0;
    int longGaps = 0;
    int idlePictures = 0;
    const auto gapUntil = [&](int64_t now) {
        if (previous == 0)
            return;
        longestGapUs = std::max(longestGapUs, now - previous);
        longGaps += now - previous > LongGapUs ? 1 : 0;
    };
    while (monotonicNowUs() < end) {
        if (!ring.readNext(frame, 200))
            continue;
        if (frame.timestampUs() == 0) { // the feed's idle picture: it has no camera frames
            ++idlePictures;
            continue;
        }
        const int64_t now = monotonicNowUs();
        latenciesMs.push_back((now - frame.timestampUs()) / 1000.0);
        captureUs.push_back(frame.timestampUs());
        gapUntil(now);
        first = first == 0 ? now : first;
        previous = now;
    }
    gapUntil(monotonicNowUs());
    // The rate of the stream itself, from its first frame on.
    const double elapsed = (monotonicNowUs() - (first == 0 ? start : first)) / 1e6;
    const uint64_t published = ring.framesPublished() - publishedBefore;
    std::sort(latenciesMs.begin(), latenciesMs.end());
    const auto percentile = [&](double p) {
        return latenciesMs.empty() ? 0.0 : latenciesMs[size_t(p * double(latenciesMs.size() - 1))];
    };
    std::printf("frames received %zu, published %llu, in %.2f s of stream: %.2f fps\n", latenciesMs.size(),
                static_cast<unsigned long long>(published), elapsed, double(latenciesMs.size()) / elapsed);
    std::printf("latency from capture, ms: median %.1f, p95 %.1f, max %.1f\n", percentile(0.5), percentile(0.95),
                percentile(1.0));
    std::printf("camera frames missing between those received: %lld\n",
                static_cast<long long>(missingFrames(captureUs)));
    std::printf("first frame after %.1f ms\n", first == 0 ? 0.0 : (first - start) / 1000.0);
    std::printf("longest gap between frames %.1f ms; gaps over %lld ms: %d; idle pictures: %d\n",
                longestGapUs / 1000.0, static_cast<long long>(LongGapUs / 1000), longGaps, idlePictures);
    return latenciesMs.empty() ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    // Saving and measuring need no display.
    const bool headless = std::any_of(argv + 1, argv + argc, [](const char *a) {
        return qstrcmp(a, "--save") == 0 || qstrcmp(a, "--measure") == 0 || qstrcmp(a, "--help") == 0;
    });
    if (headless && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("talvento-vcam-view"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Watches the Talvento Control virtual camera."));
    parser.addHelpOption();
    const QCommandLineOption save(QStringLiteral("save"), QStringLiteral("Save the next frame (format by suffix)."),
                                  QStringLiteral("file"));
    const QCommandLineOption seconds(QStringLiteral("measure"),
                                     QStringLiteral("Report frames per second and latency over N seconds."),
                                     QStringLiteral("N"));
    const QCommandLineOption wait(QStringLiteral("wait"), QStringLiteral("Wait up to N seconds for frames."),
                                  QStringLiteral("N"), QStringLiteral("10"));
    const QCommandLineOption skip(QStringLiteral("skip"), QStringLiteral("Skip N frames before saving."),
                                  QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption segment(QStringLiteral("segment"),
                                     QStringLiteral("Watch the camera of another segment (\"/name\")."),
                                     QStringLiteral("name"));
    parser.addOptions({save, seconds, wait, skip, segment});
    parser.process(app);

    if (parser.isSet(segment))
        SharedFrameRing::setDefaultName(parser.value(segment));
    SharedFrameRing ring(SharedFrameRing::Role::Reader);
    if (!ring.isValid() || !ring.registerClient()) {
        std::fprintf(stderr, "talvento-vcam-view: cannot connect to the virtual camera: %s\n",
                     qPrintable(ring.errorString()));
        return 2;
    }
    FrameRef frame = Frame::create(SharedFrameRing::Width, SharedFrameRing::Height);
    const int timeoutMs = parser.value(wait).toInt() * 1000;

    if (parser.isSet(save)) {
        for (int i = parser.value(skip).toInt(); i > 0; --i) {
            if (!ring.readNext(*frame, timeoutMs))
                break;
        }
        return saveNextFrame(ring, *frame, parser.value(save), timeoutMs);
    }
    if (parser.isSet(seconds))
        return measure(ring, *frame, std::max(1, parser.value(seconds).toInt()));

    // Show the stream in a window until it is closed.
    QLabel view;
    view.setWindowTitle(QStringLiteral("Talvento Control"));
    view.resize(SharedFrameRing::Width / 2, SharedFrameRing::Height / 2);
    view.show();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &view, [&] {
        if (ring.readNext(*frame, 0))
            view.setPixmap(QPixmap::fromImage(toImage(*frame)).scaled(view.size(), Qt::KeepAspectRatio,
                                                                      Qt::SmoothTransformation));
    });
    poll.start(15);
    return app.exec();
}
