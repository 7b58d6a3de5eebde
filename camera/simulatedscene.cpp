#include "camera/simulatedscene.h"

#include "camera/capturemode.h"
#include "camera/convert_kernels.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QPainter>
#include <QStandardPaths>

#include <turbojpeg.h>

#include <array>
#include <cmath>
#include <numbers>

namespace {

constexpr double FramesPerSecond = 30.0;

QStringList portraitPaths()
{
    QStringList paths;
#ifdef TALVENTO_DEPS_DIR
    paths << QStringLiteral(TALVENTO_DEPS_DIR "/astronaut.png");
#endif
    if (QCoreApplication::instance())
        paths << QCoreApplication::applicationDirPath()
                + QStringLiteral("/../share/talvento-control/astronaut.png");
    paths << QStandardPaths::locateAll(
        QStandardPaths::GenericDataLocation, QStringLiteral("talvento-control/astronaut.png"));
    return paths;
}

// A person in front of a wall, for machines without the portrait.
QImage drawnPortrait()
{
    QImage image(512, 512, QImage::Format_ARGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient wall(0, 0, 512, 512);
    wall.setColorAt(0, QColor(92, 112, 140));
    wall.setColorAt(1, QColor(40, 52, 70));
    p.fillRect(image.rect(), wall);
    p.fillRect(QRect(360, 40, 120, 170), QColor(170, 200, 230)); // a window
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(52, 84, 150)); // shoulders
    p.drawRoundedRect(QRect(96, 300, 320, 260), 120, 120);
    p.setBrush(QColor(224, 172, 140)); // neck and face
    p.drawRect(QRect(226, 230, 60, 90));
    p.drawEllipse(QRect(186, 70, 140, 180));
    p.setBrush(QColor(70, 46, 30)); // hair
    p.drawChord(QRect(180, 58, 152, 120), 0, 180 * 16);
    return image;
}

// Seven-segment digits, so the counter needs no fonts: segments a..g of each digit.
constexpr std::array<uint8_t, 10> DigitSegments { 0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07,
    0x7f, 0x6f };

void drawCounter(QPainter &p, int64_t value, int unit, QPoint topLeft)
{
    const int digits = 6;
    const int w = 3 * unit, h = 5 * unit, gap = unit;
    const QRect box(topLeft, QSize(digits * (w + gap) + gap, h + 2 * gap));
    p.fillRect(box, QColor(0, 0, 0, 160));
    for (int i = digits - 1; i >= 0; --i, value /= 10) {
        const uint8_t seg = DigitSegments[value % 10];
        const int x = box.x() + gap + i * (w + gap);
        const int y = box.y() + gap;
        const QRect segments[7] = { { x, y, w, unit }, { x + w - unit, y, unit, h / 2 + 1 },
            { x + w - unit, y + h / 2, unit, h - h / 2 }, { x, y + h - unit, w, unit },
            { x, y + h / 2, unit, h - h / 2 }, { x, y, unit, h / 2 + 1 },
            { x, y + h / 2 - unit / 2, w, unit } };
        for (int s = 0; s < 7; ++s)
            if (seg & (1 << s))
                p.fillRect(segments[s], QColor(255, 220, 60));
    }
}

// BT.601 limited range, the inverse of the capture conversion.
struct Yuv
{
    uint8_t y, u, v;
};

Yuv toYuv(const uint8_t *bgra)
{
    const int b = bgra[0], g = bgra[1], r = bgra[2];
    return { uint8_t(16 + ((66 * r + 129 * g + 25 * b + 128) >> 8)),
        uint8_t(128 + ((-38 * r - 74 * g + 112 * b + 128) >> 8)),
        uint8_t(128 + ((112 * r - 94 * g - 18 * b + 128) >> 8)) };
}

bool encodeJpeg(const uint8_t *bgra, int width, int height, std::vector<uint8_t> &out)
{
    thread_local struct Encoder
    {
        tjhandle handle = tjInitCompress();
        ~Encoder() { tjDestroy(handle); }
    } encoder;
    const unsigned long capacity = tjBufSize(width, height, TJSAMP_422);
    out.resize(capacity);
    unsigned char *buffer = out.data();
    unsigned long size = capacity;
    if (!encoder.handle
        || tjCompress2(encoder.handle, bgra, width, width * 4, height, TJPF_BGRA, &buffer, &size,
               TJSAMP_422, 85, TJFLAG_NOREALLOC)
            != 0) {
        qWarning() << "SimulatedScene::encode -> JPEG encoding failed:"
                   << tjGetErrorStr2(encoder.handle);
        return false;
    }
    out.resize(size);
    return true;
}

} // namespace

SimulatedScene::SimulatedScene() = default;

QRect SimulatedScene::safeArea(int width, int height)
{
    // A twentieth of the height: 9 px of the 320 x 180 preview, beyond the reach of its
    // 8 px corner radius.
    const int margin = std::max(1, height / 20);
    return QRect(margin, margin, width - 2 * margin, height - 2 * margin);
}

const QImage &SimulatedScene::portrait()
{
    static const QImage image = [] {
        for (const QString &path : portraitPaths()) {
            QImage loaded(path);
            if (!loaded.isNull())
                return loaded.convertToFormat(QImage::Format_RGB32);
        }
        qDebug() << "SimulatedScene -> no portrait found, drawing one";
        return drawnPortrait().convertToFormat(QImage::Format_RGB32);
    }();
    return image;
}

void SimulatedScene::render(uint8_t *bgra, int stride, int width, int height, int64_t frame)
{
    const QImage &base = portrait();
    const double t = frame / FramesPerSecond;
    const double tau = 2 * std::numbers::pi;

    // Head and shoulders across the whole width; a slow zoom of up to 8 % and a slow pan.
    const double zoom = 1.0 + 0.04 * (1.0 - std::cos(tau * t / 12.0));
    double w = base.width() / zoom;
    double h = w * height / width;
    if (h > base.height()) {
        h = base.height() / zoom;
        w = h * width / height;
    }
    const double x = (base.width() - w) / 2 * (1.0 + std::sin(tau * t / 9.0));
    const double y = (base.height() - h) * 0.1 * (1.0 + std::sin(tau * t / 7.0));
    m_plan.build(QRectF(x, y, w, h), base.width(), base.height(), width, height);
    convert::bestKernels().scaleBgra(
        base.constBits(), int(base.bytesPerLine()), bgra, stride, width, height, m_plan.tables());

    // The picture is opaque, so painting it as premultiplied takes Qt's fast paths.
    QImage canvas(bgra, width, height, stride, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    const int unit = std::max(1, height / 120);
    const double radius = height / 40.0;
    // The dot circles in the lower right of the safe area, the counter sits in its top left.
    const QRectF safe = safeArea(width, height);
    const QRectF track = safe.adjusted(radius, radius, -radius, -radius);
    const QPointF centre(track.left() + track.width() * (0.85 + 0.1 * std::cos(tau * t / 3.0)),
        track.top() + track.height() * (0.8 + 0.12 * std::sin(tau * t / 3.0)));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(80, 220, 120));
    p.drawEllipse(centre, radius, radius);
    drawCounter(p, frame % 1000000, unit, safe.topLeft().toPoint());
}

bool SimulatedScene::encode(
    uint32_t pixelFormat, const uint8_t *bgra, int width, int height, std::vector<uint8_t> &out)
{
    const size_t pixels = static_cast<size_t>(width) * height;
    if (pixelFormat == PixelFormat::Bgra || pixelFormat == PixelFormat::Bgrx) {
        out.assign(bgra, bgra + pixels * 4);
        return true;
    }
    if (pixelFormat == PixelFormat::Mjpeg || pixelFormat == PixelFormat::Jpeg)
        return encodeJpeg(bgra, width, height, out);
    const int pairs = (width + 1) / 2;
    if (pixelFormat == PixelFormat::Yuyv || pixelFormat == PixelFormat::Uyvy) {
        // Byte positions of Y0, U, Y1, V within a pair.
        const bool yuyv = pixelFormat == PixelFormat::Yuyv;
        const int y0 = yuyv ? 0 : 1, u = yuyv ? 1 : 0, y1 = yuyv ? 2 : 3, v = yuyv ? 3 : 2;
        out.resize(static_cast<size_t>(pairs) * 4 * height);
        for (int row = 0; row < height; ++row)
            for (int i = 0; i < pairs; ++i) {
                const uint8_t *p = bgra + (static_cast<size_t>(row) * width + 2 * i) * 4;
                const Yuv a = toYuv(p);
                const Yuv b = toYuv(2 * i + 1 < width ? p + 4 : p);
                uint8_t *d = &out[(static_cast<size_t>(row) * pairs + i) * 4];
                d[y0] = a.y;
                d[u] = uint8_t((a.u + b.u + 1) / 2);
                d[y1] = b.y;
                d[v] = uint8_t((a.v + b.v + 1) / 2);
            }
        return true;
    }
    if (pixelFormat == PixelFormat::Yu12) {
        // Luma rows of `width` bytes, then the U and V planes of half-width rows.
        const int chromaRows = (height + 1) / 2;
        const size_t lumaBytes = static_cast<size_t>(width) * height;
        const size_t planeBytes = static_cast<size_t>(pairs) * chromaRows;
        out.assign(lumaBytes + 2 * planeBytes, 0);
        for (int row = 0; row < height; ++row)
            for (int x = 0; x < width; ++x) {
                const Yuv c = toYuv(bgra + (static_cast<size_t>(row) * width + x) * 4);
                out[static_cast<size_t>(row) * width + x] = c.y;
                if (row % 2 == 0 && x % 2 == 0) {
                    const size_t at = static_cast<size_t>(row / 2) * pairs + x / 2;
                    out[lumaBytes + at] = c.u;
                    out[lumaBytes + planeBytes + at] = c.v;
                }
            }
        return true;
    }
    if (pixelFormat == PixelFormat::Nv12) {
        const int lumaStride = pairs * 2;
        const int chromaRows = (height + 1) / 2;
        out.assign(static_cast<size_t>(lumaStride) * (height + chromaRows), 0);
        for (int row = 0; row < height; ++row)
            for (int x = 0; x < width; ++x) {
                const Yuv c = toYuv(bgra + (static_cast<size_t>(row) * width + x) * 4);
                out[static_cast<size_t>(row) * lumaStride + x] = c.y;
                // The top-left pixel of each 2x2 block carries the chroma.
                if (row % 2 == 0 && x % 2 == 0) {
                    uint8_t *uv = &out[static_cast<size_t>(height + row / 2) * lumaStride + x];
                    uv[0] = c.u;
                    uv[1] = c.v;
                }
            }
        return true;
    }
    return false;
}
