// talvento-vcam-view: a client of the shared-memory virtual camera "Talvento
// Control". Connecting counts as a client, so the camera feed runs while it
// watches. It saves a frame, measures the stream, or shows it in a window.

#include "camera/frame.h"
#include "vcam/sharedframering.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

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
    if (!toImage(frame).save(path, "PNG")) {
        std::fprintf(stderr, "talvento-vcam-view: cannot write %s\n", qPrintable(path));
        return 1;
    }
    std::printf("saved %dx%d frame to %s\n", frame.width(), frame.height(), qPrintable(path));
    return 0;
}

int measure(SharedFrameRing &ring, Frame &frame, int seconds)
{
    std::vector<double> latenciesMs;
    const uint64_t publishedBefore = ring.framesPublished();
    const int64_t start = monotonicNowUs();
    const int64_t end = start + int64_t(seconds) * 1'000'000;
    while (monotonicNowUs() < end) {
        if (ring.readNext(frame, 200))
            latenciesMs.push_back((monotonicNowUs() - frame.timestampUs()) / 1000.0);
    }
    const double elapsed = (monotonicNowUs() - start) / 1e6;
    const uint64_t published = ring.framesPublished() - publishedBefore;
    std::sort(latenciesMs.begin(), latenciesMs.end());
    const auto percentile = [&](double p) {
        return latenciesMs.empty() ? 0.0 : latenciesMs[size_t(p * double(latenciesMs.size() - 1))];
    };
    std::printf("frames received %zu, published %llu, in %.2f s: %.2f fps\n", latenciesMs.size(),
                static_cast<unsigned long long>(published), elapsed, double(latenciesMs.size()) / elapsed);
    std::printf("latency from capture, ms: median %.1f, p95 %.1f, max %.1f\n", percentile(0.5), percentile(0.95),
                percentile(1.0));
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
    const QCommandLineOption save(QStringLiteral("save"), QStringLiteral("Save the next frame as PNG."),
                                  QStringLiteral("file"));
    const QCommandLineOption seconds(QStringLiteral("measure"),
                                     QStringLiteral("Report frames per second and latency over N seconds."),
                                     QStringLiteral("N"));
    const QCommandLineOption wait(QStringLiteral("wait"), QStringLiteral("Wait up to N seconds for frames."),
                                  QStringLiteral("N"), QStringLiteral("10"));
    const QCommandLineOption skip(QStringLiteral("skip"), QStringLiteral("Skip N frames before saving."),
                                  QStringLiteral("N"), QStringLiteral("0"));
    parser.addOptions({save, seconds, wait, skip});
    parser.process(app);

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
