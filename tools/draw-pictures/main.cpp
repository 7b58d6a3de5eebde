// Draws the application's raster pictures:
// - the frames of the setup wizard's tutorial animations: each shows the step a
//   user takes on a Linux desktop (a privacy switch in the desktop's settings,
//   the Bluetooth switch, the administrator prompt of the video driver install);
// - the frames of the preview's "spinner" and its "low_power" picture, drawn
//   light on the black preview canvas;
// - the application icon at the sizes of app.ico, from app_blue.svg.
// scripts/make-pictures turns them into the files under resources/assets/.
//
//   draw-pictures <assets folder> <output folder>
//     writes <output>/<movie>/frame_NNN.png, <output>/low_power.png, <output>/app_NN.png

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

#include <cmath>
#include <cstdio>
#include <functional>

namespace {

constexpr int Width = 408;
constexpr int Height = 335;
constexpr int Frames = 48;

const QColor Accent("#0064da");
const QColor Text("#2e2e30");
const QColor Muted("#7a7a7e");
const QColor Window("#fafafa");
const QColor Sidebar("#ebebed");
const QColor Line("#dcdcde");

double ease(double t)
{
    t = std::clamp(t, 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// Progress of a stage that runs from `from` to `to` of the whole animation.
double stage(double t, double from, double to)
{
    return ease((t - from) / (to - from));
}

QPointF mix(QPointF a, QPointF b, double k)
{
    return a + (b - a) * k;
}

void drawText(QPainter &p, const QRectF &rect, const QString &text, int pixelSize, const QColor &color,
              bool bold = false, Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter)
{
    QFont font("DejaVu Sans");
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    p.setFont(font);
    p.setPen(color);
    p.drawText(rect, align, text);
}

void drawSwitch(QPainter &p, QPointF topLeft, double on)
{
    const QColor track = QColor::fromRgbF(0.77 + (Accent.redF() - 0.77) * on, 0.77 + (Accent.greenF() - 0.77) * on,
                                          0.79 + (Accent.blueF() - 0.79) * on);
    p.setPen(Qt::NoPen);
    p.setBrush(track);
    p.drawRoundedRect(QRectF(topLeft, QSizeF(40, 22)), 11, 11);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(topLeft.x() + 11 + 18 * on, topLeft.y() + 11), 9, 9);
}

void drawPointer(QPainter &p, QPointF tip, double pressed)
{
    QPainterPath arrow;
    arrow.moveTo(0, 0);
    arrow.lineTo(0, 17);
    arrow.lineTo(4.5, 13);
    arrow.lineTo(7.5, 19.5);
    arrow.lineTo(10, 18.5);
    arrow.lineTo(7, 12);
    arrow.lineTo(12.5, 12);
    arrow.closeSubpath();
    p.save();
    p.translate(tip);
    if (pressed > 0) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 100, 218, int(90 * (1 - pressed))));
        p.drawEllipse(QPointF(0, 0), 6 + 16 * pressed, 6 + 16 * pressed);
    }
    p.setPen(QPen(Qt::white, 1.5));
    p.setBrush(Qt::black);
    p.drawPath(arrow);
    p.restore();
}

// A window over the desktop colour, with a soft shadow below it.
void drawRaisedWindow(QPainter &p, const QRectF &window, int dim, int radius)
{
    p.fillRect(QRect(0, 0, Width, Height), QColor("#3b4a63"));
    if (dim > 0)
        p.fillRect(QRect(0, 0, Width, Height), QColor(0, 0, 0, dim));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 60 + dim / 3));
    p.drawRoundedRect(window.translated(0, 3), radius, radius);
    p.setBrush(Window);
    p.drawRoundedRect(window, radius, radius);
}

// A settings window with a sidebar; `selected` is the highlighted entry.
void drawSettingsWindow(QPainter &p, const QString &title, int selected)
{
    const QRectF window(14, 14, Width - 28, Height - 28);
    drawRaisedWindow(p, window, 0, 10);

    QPainterPath side;
    side.addRoundedRect(QRectF(window.left(), window.top(), 118, window.height()), 10, 10);
    side.addRect(QRectF(window.left() + 100, window.top(), 18, window.height()));
    p.setBrush(Sidebar);
    p.drawPath(side.simplified());
    drawText(p, QRectF(window.left() + 14, window.top() + 10, 100, 22), "Settings", 13, Text, true);

    const QStringList entries = {"Wi-Fi", "Bluetooth", "Sound", "Privacy", "Camera", "Microphone", "Apps"};
    for (int i = 0; i < entries.size(); ++i) {
        const QRectF row(window.left() + 8, window.top() + 42 + i * 30, 102, 26);
        if (i == selected) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor("#d3d3d8"));
            p.drawRoundedRect(row, 6, 6);
        }
        const bool sub = i == 4 || i == 5;
        drawText(p, row.adjusted(sub ? 18 : 8, 0, 0, 0), entries[i], 12, i == selected ? Text : Muted, i == selected);
    }
    drawText(p, QRectF(window.left() + 134, window.top() + 10, 240, 26), title, 15, Text, true);
}

// A list box holding rows of (label, switch state).
void drawListBox(QPainter &p, QRectF box, const QList<std::pair<QString, double>> &rows, const QString &caption)
{
    drawText(p, QRectF(box.left(), box.top() - 24, box.width(), 20), caption, 11, Muted);
    p.setPen(QPen(Line, 1));
    p.setBrush(Qt::white);
    p.drawRoundedRect(box, 8, 8);
    const double rowHeight = box.height() / rows.size();
    for (int i = 0; i < rows.size(); ++i) {
        const QRectF row(box.left(), box.top() + i * rowHeight, box.width(), rowHeight);
        if (i > 0) {
            p.setPen(QPen(Line, 1));
            p.drawLine(QPointF(row.left() + 12, row.top()), QPointF(row.right() - 12, row.top()));
        }
        drawText(p, row.adjusted(14, 0, -60, 0), rows[i].first, 12, Text);
        if (rows[i].second >= 0)
            drawSwitch(p, QPointF(row.right() - 54, row.center().y() - 11), rows[i].second);
    }
}

// The privacy page for one device kind: the pointer turns on access for the
// device and then for Talvento Control.
QImage privacyScene(double t, const QString &device, int selected)
{
    QImage image(Width, Height, QImage::Format_ARGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawSettingsWindow(p, "Privacy \u203a " + device, selected);

    const double first = stage(t, 0.30, 0.38);
    const double second = stage(t, 0.68, 0.76);
    const QRectF top(146, 96, 234, 46);
    drawListBox(p, top, {{device + " access", first}}, "Allow applications to use the " + device.toLower());
    const QRectF apps(146, 186, 234, 92);
    drawListBox(p, apps, {{"Talvento Control", second}, {"Web Browser", 0.0}}, "Applications");

    const QPointF start(300, 300);
    const QPointF firstSwitch(top.right() - 30, top.center().y());
    const QPointF secondSwitch(apps.right() - 30, apps.top() + 23);
    QPointF pointer = mix(start, firstSwitch, stage(t, 0.05, 0.28));
    pointer = mix(pointer, secondSwitch, stage(t, 0.45, 0.66));
    const double press = t > 0.28 && t < 0.42 ? (t - 0.28) / 0.14 : t > 0.66 && t < 0.80 ? (t - 0.66) / 0.14 : 0;
    drawPointer(p, pointer, press);
    return image;
}

QImage bluetoothScene(double t)
{
    QImage image(Width, Height, QImage::Format_ARGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawSettingsWindow(p, "Bluetooth", 1);

    const double on = stage(t, 0.30, 0.38);
    const QRectF top(146, 96, 234, 46);
    drawListBox(p, top, {{"Bluetooth", on}}, "Turn on to find the light panel");
    if (t > 0.45) {
        const int found = t > 0.62 ? 2 : 1;
        QList<std::pair<QString, double>> devices = {{"Light_ble", -1}};
        if (found > 1)
            devices.append({"Headphones", -1});
        const QRectF list(146, 186, 234, 46.0 * found);
        drawListBox(p, list, devices, "Devices");
        // A slowly turning search mark while the list fills.
        p.save();
        p.translate(list.right() - 30, list.top() + 23);
        p.rotate(t * 720);
        p.setPen(QPen(Accent, 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(-8, -8, 16, 16), 0, 270 * 16);
        p.restore();
    }
    const QPointF start(300, 300);
    const QPointF target(top.right() - 30, top.center().y());
    const QPointF pointer = mix(mix(start, target, stage(t, 0.05, 0.28)), QPointF(230, 300), stage(t, 0.5, 0.8));
    drawPointer(p, pointer, t > 0.28 && t < 0.42 ? (t - 0.28) / 0.14 : 0);
    return image;
}

// The administrator prompt that installing the video driver raises.
QImage extensionScene(double t)
{
    QImage image(Width, Height, QImage::Format_ARGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF dialog(34, 30, Width - 68, Height - 60);
    drawRaisedWindow(p, dialog, 70, 12);

    // Padlock.
    const QPointF lock(dialog.center().x(), dialog.top() + 40);
    p.setPen(QPen(Text, 3));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(lock.x() - 9, lock.y() - 20, 18, 22), 0, 180 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(Text);
    p.drawRoundedRect(QRectF(lock.x() - 13, lock.y() - 9, 26, 20), 4, 4);

    drawText(p, QRectF(dialog.left(), dialog.top() + 66, dialog.width(), 22), "Authentication Required", 15, Text,
             true, Qt::AlignCenter);
    drawText(p, QRectF(dialog.left() + 24, dialog.top() + 90, dialog.width() - 48, 40),
             "Authentication is needed to install the\nTalvento Control video driver", 11, Muted, false,
             Qt::AlignCenter);

    const QRectF field(dialog.left() + 30, dialog.top() + 146, dialog.width() - 60, 32);
    p.setPen(QPen(t > 0.12 ? Accent : Line, t > 0.12 ? 2 : 1));
    p.setBrush(Qt::white);
    p.drawRoundedRect(field, 6, 6);
    const int dots = int(std::clamp((t - 0.15) / 0.3, 0.0, 1.0) * 8);
    if (dots == 0)
        drawText(p, field.adjusted(12, 0, 0, 0), "Password", 12, QColor("#a0a0a4"));
    p.setPen(Qt::NoPen);
    p.setBrush(Text);
    for (int i = 0; i < dots; ++i)
        p.drawEllipse(QPointF(field.left() + 18 + i * 14, field.center().y()), 4, 4);

    const QRectF cancel(dialog.left() + 30, dialog.bottom() - 58, (dialog.width() - 70) / 2, 34);
    const QRectF ok(cancel.right() + 10, cancel.top(), cancel.width(), 34);
    p.setBrush(QColor("#e6e6e8"));
    p.drawRoundedRect(cancel, 8, 8);
    drawText(p, cancel, "Cancel", 12, Text, false, Qt::AlignCenter);
    const double pressed = stage(t, 0.62, 0.66) * (1 - stage(t, 0.70, 0.74));
    p.setBrush(Accent.darker(100 + int(25 * pressed)));
    p.drawRoundedRect(ok, 8, 8);
    drawText(p, ok, "Authenticate", 12, Qt::white, true, Qt::AlignCenter);

    if (t > 0.76) {
        const double k = stage(t, 0.76, 0.84);
        p.fillRect(image.rect(), QColor(250, 250, 250, int(235 * k)));
        p.setBrush(QColor(47, 177, 87, int(255 * k)));
        p.drawEllipse(QPointF(Width / 2.0, Height / 2.0 - 14), 30, 30);
        p.setPen(QPen(QColor(255, 255, 255, int(255 * k)), 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        QPainterPath check;
        check.moveTo(Width / 2.0 - 13, Height / 2.0 - 14);
        check.lineTo(Width / 2.0 - 3, Height / 2.0 - 4);
        check.lineTo(Width / 2.0 + 14, Height / 2.0 - 24);
        p.drawPath(check);
        drawText(p, QRectF(0, Height / 2.0 + 26, Width, 24), "Video driver installed", 14,
                 QColor(46, 46, 48, int(255 * k)), true, Qt::AlignCenter);
    } else {
        const QPointF pointer = mix(QPointF(330, 320), ok.center() + QPointF(10, 4), stage(t, 0.45, 0.62));
        drawPointer(p, pointer, t > 0.62 && t < 0.74 ? (t - 0.62) / 0.12 : 0);
    }
    return image;
}

// Twelve dots round a circle, the brightest one moving on: a spinner on the
// black preview canvas.
QImage spinnerFrame(int frame, int frames)
{
    QImage image(128, 128, QImage::Format_ARGB32);
    image.fill(Qt::black);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(64, 64);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 12; ++i) {
        const int age = (frame - i + 12 * frames) % 12;
        p.setBrush(QColor(255, 255, 255, 255 - age * 18));
        p.save();
        p.rotate(i * 30.0);
        p.drawRoundedRect(QRectF(-4, -50, 8, 22), 4, 4);
        p.restore();
    }
    return image;
}

// A leaf with a small battery: the preview pauses to save power.
QImage lowPowerPicture()
{
    QImage image(256, 256, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath leaf;
    leaf.moveTo(60, 200);
    leaf.cubicTo(40, 110, 110, 40, 210, 46);
    leaf.cubicTo(216, 150, 150, 214, 60, 200);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawPath(leaf);
    p.setPen(QPen(Qt::black, 9, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(76, 184), QPointF(176, 84));
    p.setPen(QPen(Qt::white, 12, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(60, 200), QPointF(34, 226));
    return image;
}

bool savePicture(const QImage &image, const QString &path)
{
    if (image.save(path))
        return true;
    std::fprintf(stderr, "draw-pictures: cannot write %s\n", qPrintable(path));
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: draw-pictures <assets folder> <output folder>\n");
        return 1;
    }
    const QDir assets(QString::fromLocal8Bit(argv[1]));
    const QDir out(QString::fromLocal8Bit(argv[2]));
    const QList<std::pair<QString, std::function<QImage(double)>>> movies = {
        {"camera", [](double t) { return privacyScene(t, "Camera", 4); }},
        {"microphone", [](double t) { return privacyScene(t, "Microphone", 5); }},
        {"bluetooth", bluetoothScene},
        {"extension", extensionScene},
    };
    for (const auto &[name, draw] : movies) {
        if (!out.mkpath(name)) {
            std::fprintf(stderr, "draw-pictures: cannot create %s\n", qPrintable(out.filePath(name)));
            return 1;
        }
        for (int i = 0; i < Frames; ++i) {
            const QString path = out.filePath(QString("%1/frame_%2.png").arg(name).arg(i, 3, 10, QChar('0')));
            if (!savePicture(draw(double(i) / (Frames - 1)), path))
                return 1;
        }
    }
    out.mkpath("spinner");
    for (int i = 0; i < 12; ++i) {
        if (!savePicture(spinnerFrame(i, 12), out.filePath(QString("spinner/frame_%1.png").arg(i, 3, 10, QChar('0')))))
            return 1;
    }
    if (!savePicture(lowPowerPicture(), out.filePath("low_power.png")))
        return 1;
    QSvgRenderer icon(assets.filePath("app_blue.svg"));
    for (int size : {16, 32, 48, 64, 128, 256}) {
        QImage image(size, size, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        icon.render(&painter);
        painter.end();
        if (!savePicture(image, out.filePath(QString("app_%1.png").arg(size, 3, 10, QChar('0')))))
            return 1;
    }
    return 0;
}
