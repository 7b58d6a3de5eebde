#include "gui/gui.h"

#include "app/app.h"
#include "gui/clickablelabel.h"
#include "gui/draggableframe.h"

#include <QCheckBox>
#include <QDebug>
#include <QFile>
#include <QGraphicsOpacityEffect>
#include <QGridLayout>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QSvgRenderer>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace gui {

namespace {

App *app()
{
    return static_cast<App *>(qApp);
}

QString color(App::UIElement role)
{
    return app()->getColorStr(role);
}

bool darkMode()
{
    return app()->isInDarkMode();
}

QWidget *createSmallSettingRow(QLabel *title, QWidget *control, QLabel *value = nullptr)
{
    auto *row = new QWidget;
    row->setAttribute(Qt::WA_TranslucentBackground);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(title);
    layout->addWidget(control, 1);
    if (value)
        layout->addWidget(value);
    return row;
}

// Slider looks differ only in the groove's fill, the handle and the heights;
// the structure of the sheet is shared.
QString sliderSheet(const QString &groove, const QString &disabledGroove, const QString &subPage,
                    const QString &disabledSubPage, const QString &handle, const QString &disabledHandle,
                    int grooveHeight, int radius, int handleWidth, int sliderHeight)
{
    return QString("QSlider::groove:horizontal { height: %1px; border-radius: %2px; background: %3; }"
                   "QSlider::groove:horizontal:disabled { background: %4; }"
                   "QSlider::sub-page:horizontal { background: %5; border-top-left-radius: %2px; "
                   "border-bottom-left-radius: %2px; }"
                   "QSlider::sub-page:horizontal:disabled { background: %6; }"
                   "QSlider::handle:horizontal { width: %7px; height: %1px; border-radius: %2px; background: %8; "
                   "border: 1px solid rgba(0, 0, 0, 0.12); }"
                   "QSlider::handle:horizontal:disabled { background: %9; }"
                   "QSlider { height: %10px; }")
        .arg(QString::number(grooveHeight), QString::number(radius), groove, disabledGroove, subPage,
             disabledSubPage, QString::number(handleWidth), handle, disabledHandle)
        .arg(sliderHeight);
}

QString gradient(const QStringList &stops, const QString &alpha)
{
    static const char *positions[] = {"0", "0.25", "0.5", "0.75", "1"};
    QString text = "qlineargradient(x1:0, y1:0, x2:1, y2:0";
    for (int i = 0; i < stops.size(); ++i) {
        QString stop = stops[i];
        if (!alpha.isEmpty())
            stop = "#" + alpha + stop.right(6);
        text += QString(", stop:%1 %2").arg(positions[i], stop);
    }
    return text + ")";
}

void setGradientSliderStyle(QWidget *widget, const QStringList &stops, const QString &handle)
{
    widget->setStyleSheet(sliderSheet(gradient(stops, ""), gradient(stops, "66"), "transparent", "transparent",
                                      handle, "#aaaaaa", 20, 10, 18, 30));
    // Wheel motion over a slider scrolls the page instead of moving the value.
    widget->installEventFilter(qApp);
}

// One box blur of radius r along rows (step 1) or columns (step = width) of an
// 8-bit plane; outside the plane counts as 0.
void boxBlur(std::vector<uint8_t> &plane, int width, int height, int r, bool alongRows)
{
    const int lines = alongRows ? height : width;
    const int length = alongRows ? width : height;
    const int step = alongRows ? 1 : width;
    const int lineStep = alongRows ? width : 1;
    const int window = 2 * r + 1;
    std::vector<uint8_t> line(length);
    for (int l = 0; l < lines; ++l) {
        uint8_t *start = plane.data() + size_t(l) * lineStep;
        for (int i = 0; i < length; ++i)
            line[i] = start[size_t(i) * step];
        int sum = 0;
        for (int i = 0; i < std::min(r, length); ++i)
            sum += line[i];
        for (int i = 0; i < length; ++i) {
            if (i + r < length)
                sum += line[i + r];
            if (i - r - 1 >= 0)
                sum -= line[i - r - 1];
            start[size_t(i) * step] = uint8_t((sum + window / 2) / window);
        }
    }
}

} // namespace

QLabel *createTitleLabel(const QString &title, int titleWidth)
{
    auto *label = new QLabel(title);
    label->setMinimumWidth(titleWidth);
    setTextEditTitleStyle(label, color(App::PrimaryText), gts(TextSize::Small), "400", "0px solid gray",
                          "transparent");
    return label;
}

QString gts(TextSize size)
{
    return QString("%1px").arg(gtsn(size));
}

int gtsn(TextSize size)
{
    return int(std::trunc(int(size) * 1.35));
}

QString valueText(const QString &kind, long value, long minimum, long maximum)
{
    if (kind == "TEMP")
        return QString("%1K").arg(value);
    if (kind == "PERC" || kind == "SKIN") {
        // An empty range has no position within it; show its start.
        if (maximum == minimum)
            return "0%";
        const float percent = float(value - minimum) * 100.0f / float(maximum - minimum);
        return QString("%1%").arg(int(std::trunc(percent)));
    }
    if (kind == "ROT")
        return value == 0 ? QString() : value == 1 ? QString("Vertical") : QString("Crop");
    if (kind == "DEG")
        return QString("%1\u00b0").arg(QString::number(value * 0.5, 'f', 1));
    if (kind.startsWith('[') && kind.endsWith(']')) {
        const QStringList items = kind.mid(1, kind.size() - 2).split(',');
        if (value < 0 || value >= items.size())
            return "ERROR!";
        return items[value].trimmed();
    }
    return QString();
}

QString assetPath(const QString &name)
{
    const QString base = name.startsWith(":/") ? name : ":/assets/" + name;
    for (const char *extension : {".png", ".svg"}) {
        if (QFile::exists(base + extension))
            return base + extension;
    }
    return QString();
}

QImage loadAsset(const QString &path, int pixelHeight)
{
    if (!path.endsWith(".svg"))
        return QImage(path);
    QSvgRenderer renderer(path);
    if (!renderer.isValid())
        return QImage();
    const QSizeF natural = renderer.defaultSize();
    const int height = std::max(1, pixelHeight);
    const int width = std::max(1, int(std::round(height * natural.width() / natural.height())));
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    return image;
}

DraggableFrame *createSettingLayoutEx(QBoxLayout *layout, const QString &icon, const QString &name)
{
    auto *frame = new DraggableFrame;
    frame->setProperty("setting_name", name);
    frame->setStyleSheet("DraggableFrame { margin: 12px 15px 12px 15px; background: transparent; }");
    frame->setBackgroundColor(app()->getColor(App::PanelBackground));

    auto *outer = new QVBoxLayout(frame);
    outer->setContentsMargins(2, 2, 2, 2);
    outer->setSpacing(2);
    auto *line = new QHBoxLayout;
    line->setContentsMargins(0, 0, 0, 0);
    auto *grid = new QGridLayout;
    grid->setContentsMargins(5, 0, 5, 0);

    auto *iconLabel = new QLabel;
    iconLabel->setObjectName("icon_label");
    setIconLabel(iconLabel, 15, icon, true);
    grid->addWidget(iconLabel, 0, 0, Qt::AlignVCenter);

    auto *title = new QLabel(name);
    title->setObjectName("title_label");
    title->setContentsMargins(5, 0, 0, 0);
    setTextEditTitleStyle(title, color(App::PrimaryText), gts(TextSize::Normal), "700", "0px solid gray", "transparent");
    grid->addWidget(title, 0, 1, Qt::AlignLeft | Qt::AlignVCenter);
    // Room for the longest row name, so that the drag handles of a page line up.
    grid->setColumnMinimumWidth(1, 110);

    auto *handle = new QLabel;
    handle->setObjectName("icon_drag_label");
    // Faded against the row's own glyphs, yet at 3:1 on the row in either appearance.
    const QCursor cursor = makeTransparentCursor(assetPath("icon_drag"), 0.45f);
    handle->setPixmap(cursor.pixmap());
    handle->setCursor(Qt::OpenHandCursor);
    handle->installEventFilter(frame);
    grid->addWidget(handle, 0, 2, Qt::AlignCenter);

    auto *value = new QLabel;
    value->setObjectName("value_label");
    setTextEditTitleStyle(value, color(App::PrimaryText), gts(TextSize::Normal), "500", "0px solid gray", "transparent");
    grid->addWidget(value, 0, 4, Qt::AlignRight | Qt::AlignVCenter);

    const int stretches[] = {10, 120, 20, 10, 120};
    for (int column = 0; column < 5; ++column)
        grid->setColumnStretch(column, stretches[column]);

    line->addLayout(grid);
    outer->addLayout(line);
    layout->addWidget(frame);
    return frame;
}

DraggableFrame *createSettingLayout(QBoxLayout *layout, const QString &icon, const QString &name, int style,
                                    bool autoAvailable, bool autoEnabled, long minimum, long maximum,
                                    long /*defaultValue*/, long step, long value,
                                    std::function<void(QCheckBox *, QSlider *, QLabel *)> onChange,
                                    std::function<void(QCheckBox *, QSlider *, QLabel *)> onShow)
{
    DraggableFrame *frame = createSettingLayoutEx(layout, icon, name);
    auto *valueLabel = frame->findChild<QLabel *>("value_label");

    auto *toggle = new QCheckBox;
    toggle->setObjectName("toggle_button");
    setButtonIconStyle(toggle, 40, "icon_toggle", 0, "transparent", "transparent");
    toggle->setChecked(!(autoAvailable && autoEnabled));

    auto *slider = new QSlider(Qt::Horizontal);
    switch (style) {
    case HeatSlider:
        setHeatSliderStyle(slider, color(App::SliderHandle));
        break;
    case SkinSlider:
        setSkinSliderStyle(slider, color(App::SliderHandle));
        break;
    default:
        setSliderStyle(slider, color(App::SliderGroove), color(App::Accent), color(App::SliderHandle));
        break;
    }
    slider->setRange(int(minimum), int(maximum));
    slider->setSingleStep(int(step));
    slider->setValue(int(value));

    auto *controls = new QHBoxLayout;
    controls->setContentsMargins(5, 0, 5, 0);
    controls->setSpacing(10);
    controls->addWidget(toggle);
    controls->addWidget(slider, 1);
    qobject_cast<QBoxLayout *>(frame->layout())->addLayout(controls);

    auto refresh = [=] { onChange(toggle, slider, valueLabel); };
    QObject::connect(toggle, &QCheckBox::toggled, frame, refresh);
    QObject::connect(slider, &QSlider::valueChanged, frame, refresh);
    // Writing an announced value back would undo what happened elsewhere, say a light switched
    // off, at the next rebuild of the page.
    QObject::connect(frame, &DraggableFrame::onValueHasExternallyChanged, frame, [=](long v, bool isAuto) {
        const QSignalBlocker sliderBlock(slider);
        const QSignalBlocker toggleBlock(toggle);
        slider->setValue(int(v));
        toggle->setChecked(!isAuto);
        slider->setEnabled(toggle->isEnabled() && toggle->isChecked());
        if (onShow)
            onShow(toggle, slider, valueLabel);
    });
    return frame;
}

QWidget *createSliderSetting(const QString &title, std::pair<int, int> range, int value,
                             std::function<QString(int, bool)> format, int titleWidth, int valueWidth,
                             QSlider **out)
{
    auto *slider = new QSlider(Qt::Horizontal);
    setMiniSliderStyle(slider, color(App::SliderGroove), color(App::SliderPart), color(App::SliderHandle));
    slider->setRange(range.first, range.second);
    slider->setValue(value);

    auto *valueLabel = new QLabel(format(value, false));
    valueLabel->setMinimumWidth(valueWidth);
    valueLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setTextEditTitleStyle(valueLabel, color(App::PrimaryText), gts(TextSize::Small), "400", "0px solid gray", "transparent");
    QObject::connect(slider, &QSlider::valueChanged, valueLabel,
                     [valueLabel, format](int v) { valueLabel->setText(format(v, true)); });
    if (out)
        *out = slider;
    return createSmallSettingRow(createTitleLabel(title, titleWidth), slider, valueLabel);
}

QWidget *createToggleSetting(const QString &title, bool checked, std::function<void(bool)> onToggled,
                             int titleWidth, QCheckBox **out)
{
    auto *toggle = new QCheckBox;
    toggle->setObjectName("toggle_button");
    setButtonIconStyle(toggle, 30, "icon_toggle", 0, "transparent", "transparent");
    toggle->setChecked(checked);
    QObject::connect(toggle, &QCheckBox::toggled, toggle, onToggled);
    if (out)
        *out = toggle;
    QWidget *row = createSmallSettingRow(createTitleLabel(title, titleWidth), toggle);
    qobject_cast<QHBoxLayout *>(row->layout())->setStretch(1, 0);
    qobject_cast<QHBoxLayout *>(row->layout())->addStretch(1);
    return row;
}

QWidget *createTextEditSetting(const QString &title, const QString &text, std::function<void(QString)> onChanged,
                               int titleWidth, QLineEdit **out)
{
    auto *edit = new QLineEdit(text);
    setTextEditTitleStyle(edit, color(App::LineEditText), gts(TextSize::Normal), "400", "1px solid " + color(App::Separator), color(App::SliderGroove));
    QObject::connect(edit, &QLineEdit::textEdited, edit, onChanged);
    if (out)
        *out = edit;
    return createSmallSettingRow(createTitleLabel(title, titleWidth), edit);
}

QImage adaptedIcon(const QString &path, int pixelHeight)
{
    QImage image = loadAsset(path, pixelHeight);
    if (image.isNull())
        return image;
    invertPixels(image);
    if (!darkMode())
        tintImage(image, app()->getColor(App::PrimaryText));
    return image;
}

void setIconLabel(QLabel *label, int size, const QString &name, bool adapt)
{
    const QString path = assetPath(name);
    if (path.isEmpty()) {
        qDebug() << "Unable to find asset: " << name << "(png or svg)";
        return;
    }
    const qreal ratio = label->devicePixelRatioF();
    const int pixelHeight = int(std::ceil(size * ratio));
    const QImage image = adapt ? adaptedIcon(path, pixelHeight) : loadAsset(path, pixelHeight);
    if (image.isNull()) {
        qDebug() << "Unable to find asset: " << name << "(png or svg)";
        return;
    }
    const QSize labelSize(int(std::trunc(double(size) * image.width() / image.height())), size);
    QPixmap pixmap = QPixmap::fromImage(
        image.scaled(labelSize * ratio, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    pixmap.setDevicePixelRatio(ratio);
    label->setPixmap(pixmap);
    label->setFixedSize(labelSize);

    if (auto *clickable = qobject_cast<ClickableLabel *>(label)) {
        // Press feedback: the icon dims while it is held down.
        QObject::connect(clickable, &ClickableLabel::pressed, clickable, [clickable] {
            auto *effect = new QGraphicsOpacityEffect(clickable);
            effect->setOpacity(0.5);
            clickable->setGraphicsEffect(effect);
        });
        QObject::connect(clickable, &ClickableLabel::released, clickable,
                         [clickable] { clickable->setGraphicsEffect(nullptr); });
    }
}

void setTextEditTitleStyle(QWidget *widget, const QString &color, const QString &size, const QString &weight,
                           const QString &border, const QString &background)
{
    widget->setStyleSheet("QTextEdit, QLineEdit, QLabel {padding: 1px; font-size: " + size
                          + "; background: " + background + " ; color: " + color + "; border: " + border
                          + "; border-radius: 5px; font-weight: " + weight + "; }");
}

void setButtonIconStyle(QWidget *widget, int size, const QString &icon, int padding, const QString &borderColor,
                        const QString &background)
{
    setButtonIconStyle(widget, size, icon + "_filled", icon, padding, borderColor, background);
}

void setButtonIconStyle(QWidget *widget, int size, const QString &checkedIcon, const QString &uncheckedIcon,
                        int padding, const QString &borderColor, const QString &background)
{
    const QString checkedPath = assetPath(checkedIcon);
    const QString uncheckedPath = assetPath(uncheckedIcon);
    // A check box indicator takes its picture's shape: the 40 x 24 switch is 24 high, not
    // a 40-pixel square with the switch in its middle.
    const QSize art = QImageReader(uncheckedPath).size();
    const int height = art.width() > 0 && art.height() > 0 ? size * art.height() / art.width() : size;
    widget->setStyleSheet(
        QString("QCheckBox::indicator { width: %1px; height: %9px; padding: %5px; }"
                "QCheckBox::indicator:checked {image: url(%2);}"
                "QCheckBox::indicator:unchecked {image: url(%3);}"
                "QCheckBox::indicator:!enabled {image: url(%3);}"
                "QCheckBox::indicator:pressed {width: %4px; height: %10px; padding: %6px;}"
                "QPushButton { width: %1px; height: %1px; image: none; border: 1px solid %7; padding: %5px; "
                "background: %8; border-radius: 4px; }"
                "QPushButton:pressed { width: %4px; height: %4px; padding: %6px;}")
            .arg(QString::number(size), checkedPath, uncheckedPath, QString::number(size - 2),
                 QString::number(padding), QString::number(padding + 1), borderColor, background)
            .arg(QString::number(height), QString::number(height - 2)));
    // A push button shows its glyph as its icon, recoloured for the appearance;
    // a checkable one shows the filled glyph while checked.
    if (auto *button = qobject_cast<QPushButton *>(widget)) {
        QIcon glyph;
        glyph.addPixmap(QPixmap::fromImage(adaptedIcon(uncheckedPath, size * 2)), QIcon::Normal, QIcon::Off);
        if (button->isCheckable() && !checkedPath.isEmpty()) {
            // Checked: a white glyph on the accent, readable in both appearances.
            QImage checked = loadAsset(checkedPath, size * 2);
            invertPixels(checked);
            tintImage(checked, QColor(Qt::white));
            glyph.addPixmap(QPixmap::fromImage(checked), QIcon::Normal, QIcon::On);
        }
        button->setIcon(glyph);
        button->setIconSize(QSize(size, size));
        // A checked button (bold, an alignment) also shows its state around the glyph.
        if (button->isCheckable()) {
            button->setStyleSheet(button->styleSheet()
                                  + QString("QPushButton:checked { border: 1px solid %1; background: %1; }")
                                        .arg(color(App::Accent)));
        }
    }
}

void setCheckableButtonIconStyle(QPushButton *button, int size, const QString &icon, const QString &color,
                                 const QString &checkedColor, int padding)
{
    QImage image = loadAsset(assetPath(icon), size * 2);
    invertPixels(image);
    QImage unchecked = image;
    QImage checked = image;
    tintImage(unchecked, QColor::fromString(color));
    tintImage(checked, QColor::fromString(checkedColor));
    QIcon states;
    states.addPixmap(QPixmap::fromImage(unchecked), QIcon::Normal, QIcon::Off);
    states.addPixmap(QPixmap::fromImage(checked), QIcon::Normal, QIcon::On);
    button->setIcon(states);
    button->setIconSize(QSize(size, size));
    button->setStyleSheet(QString("QPushButton { padding: %1px; border: 1px solid transparent; }"
                                  "QPushButton:pressed {  padding: %2px; }")
                              .arg(padding)
                              .arg(padding + 1));
}

void setColorButtonStyle(QPushButton *button, int padding, const QString &background, const QString &border)
{
    button->setStyleSheet(QString("QPushButton { padding: %1px; border: 1px solid %4; border-radius: 4px; "
                                  "background: %3 }QPushButton:pressed {  padding: %2px; }")
                              .arg(QString::number(padding), QString::number(padding + 1), background, border));
}

void setTextButtonStyle(QWidget *widget, const QString &size, const QString &weight, const QString &padding,
                        const QString &color, const QString &background)
{
    widget->setStyleSheet("QPushButton { font-size: " + size + "; font-weight: " + weight + "; padding: " + padding
                          + "; color: " + color + "; background: " + background
                          + "; border: none; border-radius: 10px; }"
                            "QPushButton:pressed { color: #2B74D6; }"
                            "QPushButton:disabled { color: #8d8d8d; }");
}

void setSliderStyle(QWidget *widget, const QString &groove, const QString &subPage, const QString &handle)
{
    widget->setStyleSheet(sliderSheet(groove, groove, subPage, "#8d8d8d", handle, "#aaaaaa", 20, 10, 18, 30));
    widget->installEventFilter(qApp);
}

void setHeatSliderStyle(QWidget *widget, const QString &handle)
{
    setGradientSliderStyle(widget, {"#4B90F3", "#B3C6A9", "#FAE04E", "#F8CD49", "#F3AE41"}, handle);
}

void setSkinSliderStyle(QWidget *widget, const QString &handle)
{
    setGradientSliderStyle(widget, {"#ffee8c00", "#ffff7f00", "#ffff9800", "#ffff745f", "#ffff7285"}, handle);
}

void setMiniSliderStyle(QWidget *widget, const QString &groove, const QString &subPage, const QString &handle)
{
    widget->setStyleSheet(sliderSheet(groove, groove, subPage, "#aaaaaa", handle, "#cccccc", 13, 6, 11, 18));
    widget->installEventFilter(qApp);
}

void setComboBoxStyle(QWidget *widget, int width)
{
    widget->setFixedWidth(width);
    widget->setStyleSheet(
        QString("QComboBox { border: 1px solid %1; border-radius: 5px; padding: 3px 3px 3px 8px; margin: 3px; "
                "font-weight: 500; font-size: %2; color: %3; background: %4; combobox-popup: 0; }"
                "QComboBox:disabled { background: gray; }"
                "QComboBox::drop-down { border: none; width: 20px; }"
                "QComboBox::down-arrow { image: url(%6); width: 12px; height: 12px; }"
                "QComboBox QAbstractItemView { min-width: 100px; color: %3; background: %4; "
                "selection-background-color: %5; selection-color: white; border: 1px solid %1; }")
            .arg(color(App::Separator), gts(TextSize::Normal), color(App::PrimaryText), color(App::PanelBackground),
                 color(App::Accent),
                 darkMode() ? ":/assets/chooser_arrow_dark.svg" : ":/assets/chooser_arrow.svg"));
}

QFrame *getHorizontalSeparator()
{
    auto *frame = new QFrame;
    frame->setFixedHeight(1);
    frame->setStyleSheet("background: " + color(App::Separator) + ";");
    return frame;
}

QFrame *getVerticalSeparator()
{
    auto *frame = new QFrame;
    frame->setFixedWidth(1);
    frame->setStyleSheet("background: " + color(App::Separator) + ";");
    return frame;
}

void invertPixels(QImage &image)
{
    image.convertTo(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = line[x];
            const int alpha = qAlpha(pixel);
            auto channel = [alpha](int c) { return (c < 128 ? 255 - c : c) * alpha / 255; };
            line[x] = qRgba(channel(qRed(pixel)), channel(qGreen(pixel)), channel(qBlue(pixel)), alpha);
        }
    }
}

void tintImage(QImage &image, const QColor &color)
{
    image.convertTo(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = line[x];
            const float lightness = float(QColor(pixel).lightnessF());
            line[x] = qRgba(int(color.red() * lightness), int(color.green() * lightness),
                            int(color.blue() * lightness), qAlpha(pixel));
        }
    }
}

QImage tintImage(const QString &path, const QColor &color)
{
    QImage image = loadAsset(path, 64);
    if (!image.isNull())
        tintImage(image, color);
    return image;
}

QCursor makeTransparentCursor(const QString &path, float opacity)
{
    QImage image = loadAsset(path, 20);
    if (image.isNull())
        return QCursor();
    image.convertTo(QImage::Format_ARGB32);
    // Keep the glyph's shape: its own coverage scaled to the opacity.
    const int alpha = int(opacity * 255);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = qRgba(qRed(line[x]), qGreen(line[x]), qBlue(line[x]), qAlpha(line[x]) * alpha / 255);
    }
    if (darkMode())
        image.invertPixels(QImage::InvertRgb);
    return QCursor(QPixmap::fromImage(image), image.width() / 2, image.height() / 2);
}

void processChildren(QWidget *widget, const bool &flag, const std::function<void(bool, QWidget *)> &action,
                     const QList<QWidget *> &except)
{
    for (QWidget *child : widget->findChildren<QWidget *>()) {
        if (except.contains(child))
            continue;
        if (qobject_cast<ClickableLabel *>(child) || qobject_cast<QSlider *>(child)
            || qobject_cast<QPushButton *>(child) || qobject_cast<QCheckBox *>(child)
            || qobject_cast<QLineEdit *>(child) || qobject_cast<DraggableFrame *>(child))
            action(flag, child);
    }
}

void enableChildren(QWidget *widget, const bool &enabled, const QList<QWidget *> &except)
{
    processChildren(widget, enabled, [](bool flag, QWidget *child) { child->setEnabled(flag); }, except);
}

void showChildren(QWidget *widget, const bool &visible, const QList<QWidget *> &except)
{
    processChildren(widget, visible, [](bool flag, QWidget *child) { child->setVisible(flag); }, except);
}

void forceWindowToBeInFront(long long windowId)
{
    QWidget *window = QWidget::find(WId(windowId));
    if (!window)
        return;
    window->raise();
    window->activateWindow();
    if (QWindow *handle = window->windowHandle())
        handle->requestActivate();
}

QImage shadowOf(const QImage &shape, qreal blurRadius, const QColor &color)
{
    if (shape.isNull())
        return QImage();
    const QImage alpha = shape.convertToFormat(QImage::Format_Alpha8);
    const int width = alpha.width();
    const int height = alpha.height();
    std::vector<uint8_t> plane(size_t(width) * height);
    for (int y = 0; y < height; ++y)
        std::copy_n(alpha.constScanLine(y), width, plane.data() + size_t(y) * width);

    // Three box blurs in each direction come close to a Gaussian whose edge
    // fades over the blur radius (sigma a third of it).
    const double sigma = blurRadius / 3.0;
    const int r = std::max(0, int(std::lround((std::sqrt(4.0 * sigma * sigma + 1.0) - 1.0) / 2.0)));
    for (int pass = 0; pass < 3 && r > 0; ++pass) {
        boxBlur(plane, width, height, r, true);
        boxBlur(plane, width, height, r, false);
    }

    QImage shadow(width, height, QImage::Format_ARGB32_Premultiplied);
    shadow.setDevicePixelRatio(shape.devicePixelRatio());
    const int red = color.red(), green = color.green(), blue = color.blue(), opacity = color.alpha();
    for (int y = 0; y < height; ++y) {
        auto *out = reinterpret_cast<QRgb *>(shadow.scanLine(y));
        const uint8_t *in = plane.data() + size_t(y) * width;
        for (int x = 0; x < width; ++x) {
            const int a = in[x] * opacity / 255;
            out[x] = qRgba((red * a + 127) / 255, (green * a + 127) / 255, (blue * a + 127) / 255, a);
        }
    }
    return shadow;
}

} // namespace gui
