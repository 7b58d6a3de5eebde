// Renders a photograph through each video effect, and through all of them at
// once, into PNG files for a person to look at (scripts/render-effects).
#include "app/core/basesettings.h"
#include "video/postprocessor.h"
#include "video/givenmasksp.h"
#include "video/personsegmentationsp.h"

#include <QApplication>
#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <cmath>
#include <cstring>
#include <functional>

namespace {

// The photograph filling a 1280x720 frame, cropped to keep its proportions.
FrameRef cameraFrame(const QImage &photo)
{
    QImage frame(1280, 720, QImage::Format_ARGB32);
    QPainter p(&frame);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const double scale = std::max(1280.0 / photo.width(), 720.0 / photo.height());
    const QSizeF size(photo.width() * scale, photo.height() * scale);
    p.drawImage(QRectF(QPointF((1280 - size.width()) / 2, (720 - size.height()) * 0.3), size), photo);
    p.end();
    FrameRef f = Frame::create(1280, 720);
    for (int y = 0; y < 720; ++y)
        std::memcpy(f->row(y), frame.constScanLine(y), 1280 * 4);
    return f;
}

QByteArray logoPng()
{
    QImage logo(360, 140, QImage::Format_ARGB32);
    logo.fill(Qt::transparent);
    QPainter p(&logo);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(20, 110, 200));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(0, 0, 360, 140), 28, 28);
    p.setPen(Qt::white);
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 48, QFont::Bold));
    p.drawText(logo.rect(), Qt::AlignCenter, QStringLiteral("TALVENTO"));
    p.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    logo.save(&buffer, "PNG");
    return bytes;
}

bool save(const FrameRef &frame, const QString &path)
{
    const QImage image(frame->data(), frame->width(), frame->height(), frame->stride(),
                       QImage::Format_ARGB32);
    return image.convertToFormat(QImage::Format_RGB32).save(path);
}

} // namespace

int main(int argc, char **argv)
{
    // Settings go to a store of our own, not the user's.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        QTextStream(stderr) << "usage: render-effects <photo> <output folder>\n";
        return 2;
    }
    const QImage photo(args[1]);
    if (photo.isNull()) {
        QTextStream(stderr) << "render-effects: cannot read " << args[1] << "\n";
        return 1;
    }
    QDir().mkpath(args[2]);
    const FrameRef camera = cameraFrame(photo);
    // The person mask from the segmentation the virtual camera runs, found once and
    // handed to every rendering.
    PersonSegmentationSP segmentation;
    const VideoImage person = segmentation.processImage(VideoImage{camera, nullptr}, 1280, 720, CameraSetting{});
    if (!person.mask) {
        QTextStream(stderr) << "render-effects: the segmentation found no person\n";
        return 1;
    }
    const QString maskPath = QDir(args[2]).filePath(QStringLiteral("00-person-mask.png"));
    const QImage maskImage(person.mask->pixels.data(), person.mask->width, person.mask->height,
                           person.mask->width, QImage::Format_Grayscale8);
    if (!maskImage.save(maskPath)) {
        QTextStream(stderr) << "render-effects: cannot write " << maskPath << "\n";
        return 1;
    }
    QTextStream(stdout) << maskPath << "\n";

    struct Effect
    {
        QString name;
        std::function<void(PostProcessor &, BaseSettings &)> set;
    };
    const auto logo = [](PostProcessor &, BaseSettings &s) {
        s.setSubSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData, logoPng());
        s.setSubSetting(BaseSettings::LogoOverlay, BaseSettings::HAlign, int(Qt::AlignRight));
        s.setSubSetting(BaseSettings::LogoOverlay, BaseSettings::MarginX, 0.05);
        s.setSubSetting(BaseSettings::LogoOverlay, BaseSettings::MarginY, 0.05);
        s.setSubSetting(BaseSettings::LogoOverlay, BaseSettings::Size, 0.25);
        s.setSubSetting(BaseSettings::LogoOverlay, BaseSettings::Enabled, true);
    };
    const auto text = [](PostProcessor &, BaseSettings &s) {
        s.setSubSetting(BaseSettings::TextOverlay, BaseSettings::TextLine1, QStringLiteral("Eileen Collins"));
        s.setSubSetting(BaseSettings::TextOverlay, BaseSettings::TextLine2, QStringLiteral("Live from orbit"));
        s.setSubSetting(BaseSettings::TextOverlay, BaseSettings::TextFontFamily, QStringLiteral("DejaVu Sans"));
        s.setSubSetting(BaseSettings::TextOverlay, BaseSettings::VAlign, int(Qt::AlignBottom));
        s.setSubSetting(BaseSettings::TextOverlay, BaseSettings::MarginY, 0.06);
        s.setSubSetting(BaseSettings::TextOverlay, BaseSettings::Enabled, true);
    };
    const QList<Effect> effects = {
        {QStringLiteral("00-camera"), [](PostProcessor &, BaseSettings &) {}},
        {QStringLiteral("01-skintone-0"), [](PostProcessor &p, BaseSettings &) { p.setSkinTone(0, false); }},
        {QStringLiteral("02-skintone-100"), [](PostProcessor &p, BaseSettings &) { p.setSkinTone(100, false); }},
        {QStringLiteral("03-blur-30"), [](PostProcessor &p, BaseSettings &) { p.setBackgroundBlur(30, false); }},
        {QStringLiteral("04-blur-100"), [](PostProcessor &p, BaseSettings &) { p.setBackgroundBlur(100, false); }},
        {QStringLiteral("05-fine-rotation-20"), [](PostProcessor &p, BaseSettings &) { p.setFineCameraRotation(20, false); }},
        {QStringLiteral("06-fine-rotation-minus-7"), [](PostProcessor &p, BaseSettings &) { p.setFineCameraRotation(-7, false); }},
        {QStringLiteral("07-rotation-1-pillars"), [](PostProcessor &p, BaseSettings &) { p.setCameraRotation(1, false); }},
        {QStringLiteral("08-rotation-2-fill"), [](PostProcessor &p, BaseSettings &) { p.setCameraRotation(2, false); }},
        {QStringLiteral("09-logo"), logo},
        {QStringLiteral("10-text"), text},
        {QStringLiteral("11-all"), [&](PostProcessor &p, BaseSettings &s) {
             p.setSkinTone(30, false);
             p.setBackgroundBlur(80, false);
             p.setFineCameraRotation(6, false);
             logo(p, s);
             text(p, s);
         }},
    };
    for (const Effect &effect : effects) {
        BaseSettings settings;
        settings.clear();
        PostProcessor post(&settings);
        post.setSegmentationStage(std::make_shared<GivenMaskSP>(person.mask));
        effect.set(post, settings);
        // Overlay pictures are built off the frame path: one frame asks for them.
        post.processBuffer(camera);
        post.waitForOverlays();
        QThread::msleep(30); // past the stages' rate limits
        const FrameRef out = post.processBuffer(camera);
        const QString path = QDir(args[2]).filePath(effect.name + QStringLiteral(".png"));
        if (!save(out, path)) {
            QTextStream(stderr) << "render-effects: cannot write " << path << "\n";
            return 1;
        }
        QTextStream(stdout) << path << "\n";
    }
    return 0;
}
