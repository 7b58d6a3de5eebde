#include "guitestmain.h"

#include "gui/draggableframe.h"
#include "gui/gui.h"
#include "gui/renderframe.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPainter>
#include <QSlider>
#include <QVBoxLayout>

namespace {

// A picture as a panel shows it: drawn over the panel's colour.
QImage onColour(const QPixmap &pixmap, const QColor &colour)
{
    QImage picture(pixmap.size(), QImage::Format_RGB32);
    picture.fill(colour);
    QPainter(&picture).drawPixmap(0, 0, pixmap);
    return picture;
}

// How far the pixel that stands out most from `back` within `area` stands out.
double strongestContrast(const QImage &picture, const QColor &back, const QRegion &area)
{
    double strongest = 1.0;
    const QRect bounds = area.boundingRect() & picture.rect();
    for (int y = bounds.top(); y <= bounds.bottom(); ++y)
        for (int x = bounds.left(); x <= bounds.right(); ++x)
            if (area.contains(QPoint(x, y)))
                strongest = std::max(strongest, contrastRatio(picture.pixelColor(x, y), back));
    return strongest;
}

} // namespace

class tst_Gui : public QObject
{
    Q_OBJECT
private slots:
    void valueText_data();
    void valueText();
    void invertPixels_data();
    void invertPixels();
    void tintImage_data();
    void tintImage();
    void shadowFadesAroundShape_data();
    void shadowFadesAroundShape();
    void textSize();
    void colourTableContrast_data();
    void colourTableContrast();
    void chooserShowsItsArrow_data();
    void chooserShowsItsArrow();
    void dragHandleStandsOut_data();
    void dragHandleStandsOut();
    void wizardMarksStandOut_data();
    void wizardMarksStandOut();
    void iconLabel();
    void missingIconLeavesLabelEmpty();
    void sliderRowToggleFollowsAutoMode_data();
    void sliderRowToggleFollowsAutoMode();
    void sliderRowTakesExternalValues();
    void childrenFollowEnabledState();
    void previewCoversAndMirrors_data();
    void previewCoversAndMirrors();
};

void tst_Gui::valueText_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<QString>("expected");
    QTest::newRow("PERC middle of -100..100") << "PERC" << 0 << -100 << 100 << "50%";
    QTest::newRow("PERC truncates") << "PERC" << 1 << 0 << 3 << "33%";
    QTest::newRow("PERC top") << "PERC" << 64 << -64 << 64 << "100%";
    QTest::newRow("PERC empty range") << "PERC" << 5 << 5 << 5 << "0%";
    QTest::newRow("SKIN as percent") << "SKIN" << 50 << 0 << 100 << "50%";
    QTest::newRow("TEMP") << "TEMP" << 4600 << 2800 << 6500 << "4600K";
    QTest::newRow("DEG half degrees") << "DEG" << 5 << -20 << 20 << "2.5\u00b0";
    QTest::newRow("DEG negative") << "DEG" << -3 << -20 << 20 << "-1.5\u00b0";
    QTest::newRow("DEG zero") << "DEG" << 0 << -20 << 20 << "0.0\u00b0";
    QTest::newRow("ROT none") << "ROT" << 0 << 0 << 2 << "";
    QTest::newRow("ROT vertical") << "ROT" << 1 << 0 << 2 << "Vertical";
    QTest::newRow("ROT crop") << "ROT" << 2 << 0 << 2 << "Crop";
    QTest::newRow("list first") << "[Off, On]" << 0 << 0 << 1 << "Off";
    QTest::newRow("list trims blanks") << "[Auto, 220v, 110v]" << 1 << 0 << 2 << "220v";
    QTest::newRow("list past end") << "[Off, On]" << 2 << 0 << 2 << "ERROR!";
    QTest::newRow("list negative") << "[Off, On]" << -1 << -1 << 1 << "ERROR!";
    QTest::newRow("no kind") << "" << 7 << 0 << 10 << "";
    QTest::newRow("unknown kind") << "FOO" << 7 << 0 << 10 << "";
}

void tst_Gui::valueText()
{
    QFETCH(QString, kind);
    QFETCH(int, value);
    QFETCH(int, minimum);
    QFETCH(int, maximum);
    QFETCH(QString, expected);
    QCOMPARE(gui::valueText(kind, value, minimum, maximum), expected);
}

void tst_Gui::invertPixels_data()
{
    QTest::addColumn<QRgb>("pixel");
    QTest::addColumn<QRgb>("expected");
    QTest::newRow("black becomes white") << qRgba(0, 0, 0, 255) << qRgba(255, 255, 255, 255);
    QTest::newRow("light stays") << qRgba(200, 128, 255, 255) << qRgba(200, 128, 255, 255);
    QTest::newRow("dark channels only") << qRgba(200, 100, 50, 255) << qRgba(200, 155, 205, 255);
    QTest::newRow("scaled by alpha") << qRgba(0, 0, 0, 128) << qRgba(128, 128, 128, 128);
    QTest::newRow("light scaled by alpha") << qRgba(200, 127, 0, 51) << qRgba(40, 25, 51, 51);
    QTest::newRow("transparent") << qRgba(0, 0, 0, 0) << qRgba(0, 0, 0, 0);
}

void tst_Gui::invertPixels()
{
    QFETCH(QRgb, pixel);
    QFETCH(QRgb, expected);
    QImage image(3, 1, QImage::Format_ARGB32);
    image.fill(pixel);
    gui::invertPixels(image);
    QCOMPARE(image.format(), QImage::Format_ARGB32);
    for (int x = 0; x < 3; ++x)
        QCOMPARE(QColor::fromRgba(image.pixel(x, 0)), QColor::fromRgba(expected));
}

void tst_Gui::tintImage_data()
{
    QTest::addColumn<QRgb>("pixel");
    QTest::addColumn<QColor>("tint");
    QTest::addColumn<QRgb>("expected");
    const QColor text("#474749");
    QTest::newRow("white takes the colour") << qRgba(255, 255, 255, 255) << text << qRgba(0x47, 0x47, 0x49, 255);
    QTest::newRow("black stays black") << qRgba(0, 0, 0, 255) << text << qRgba(0, 0, 0, 255);
    QTest::newRow("half lightness") << qRgba(128, 128, 128, 200) << QColor(200, 100, 50) << qRgba(100, 50, 25, 200);
    QTest::newRow("alpha kept") << qRgba(255, 255, 255, 17) << QColor("#0064da") << qRgba(0, 0x64, 0xda, 17);
}

void tst_Gui::tintImage()
{
    QFETCH(QRgb, pixel);
    QFETCH(QColor, tint);
    QFETCH(QRgb, expected);
    QImage image(2, 2, QImage::Format_ARGB32);
    image.fill(pixel);
    gui::tintImage(image, tint);
    QCOMPARE(QColor::fromRgba(image.pixel(1, 1)), QColor::fromRgba(expected));
}

void tst_Gui::shadowFadesAroundShape_data()
{
    QTest::addColumn<qreal>("blur");
    QTest::addColumn<int>("outerRadius"); // distance past the edge where the shadow has faded out
    QTest::newRow("no blur") << qreal(0) << 1;
    QTest::newRow("soft") << qreal(12) << 20;
    QTest::newRow("wide") << qreal(30) << 40;
}

// A 40x40 square in a 120x120 picture: its shadow has the colour's alpha deep
// inside, nothing far away, and fades out evenly on both sides of the square.
void tst_Gui::shadowFadesAroundShape()
{
    QFETCH(qreal, blur);
    QFETCH(int, outerRadius);
    QImage shape(120, 120, QImage::Format_ARGB32_Premultiplied);
    shape.fill(Qt::transparent);
    {
        QPainter painter(&shape);
        painter.fillRect(QRect(40, 40, 40, 40), Qt::black);
    }
    const QImage shadow = gui::shadowOf(shape, blur, QColor(10, 20, 30, 90));
    QCOMPARE(shadow.size(), shape.size());
    QCOMPARE(qAlpha(shadow.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(shadow.pixel(79 + outerRadius, 60)), 0);
    const QRgb centre = shadow.pixel(60, 60);
    QVERIFY2(qAbs(qAlpha(centre) - (blur > 20 ? 80 : 90)) <= 10, qPrintable(QString::number(qAlpha(centre))));
    const QColor colour = shadow.pixelColor(60, 60);
    // Premultiplied 8-bit channels keep the colour to within two steps.
    QVERIFY2(qAbs(colour.red() - 10) <= 2 && qAbs(colour.blue() - 30) <= 2, qPrintable(colour.name()));
    int previous = 256;
    for (int x = 60; x < 120; ++x) {
        const int alpha = qAlpha(shadow.pixel(x, 60));
        QVERIFY2(alpha <= previous, qPrintable(QString("x %1").arg(x)));
        QCOMPARE(alpha, qAlpha(shadow.pixel(119 - x, 60)));
        previous = alpha;
    }
    if (blur > 0)
        QVERIFY(qAlpha(shadow.pixel(82, 60)) > 0); // the shadow reaches past the edge
    QVERIFY(gui::shadowOf(QImage(), blur, Qt::black).isNull());
}

void tst_Gui::textSize()
{
    // The design's sizes are pixels, scaled by the device-pixel ratio only.
    QCOMPARE(gui::gts(gui::TextSize::Normal), QString("13px"));
    QCOMPARE(gui::gtsn(gui::TextSize::Title), 18);
    QCOMPARE(gui::gtsn(gui::TextSize::Small), 12);
}

void tst_Gui::colourTableContrast_data()
{
    // Text and glyphs over the controls that carry them: 4.5:1 for text, 3:1 for glyphs.
    QTest::addColumn<bool>("dark");
    QTest::addColumn<int>("front");
    QTest::addColumn<int>("back");
    QTest::addColumn<double>("least");
    for (const bool dark : {false, true}) {
        const char *look = dark ? "dark: " : "light: ";
        const auto row = [&](const char *what, App::UIElement front, App::UIElement back, double least) {
            QTest::newRow(qPrintable(look + QString(what))) << dark << int(front) << int(back) << least;
        };
        row("text on the window", App::PrimaryText, App::WindowBackground, 4.5);
        row("text on panels and rows", App::PrimaryText, App::PanelBackground, 4.5);
        row("text buttons", App::ButtonText, App::ButtonBackground, 4.5);
        row("line edits", App::LineEditText, App::SliderGroove, 4.5);
        row("version and update section", App::InfoText, App::InfoBackground, 4.5);
        row("overlay controls", App::OverlayControl, App::PanelBackground, 4.5);
        row("checked icon buttons: white glyph on the accent", App::SliderHandle, App::Accent, 3.0);
    }
    // The font button of the text overlay: its face must show on the dark row.
    QTest::newRow("dark: text button face on its row")
        << true << int(App::ButtonBackground) << int(App::PanelBackground) << 2.0;
    QTest::newRow("light: chosen tab, accent glyph on the window")
        << false << int(App::Accent) << int(App::WindowBackground) << 3.0;
}

void tst_Gui::colourTableContrast()
{
    QFETCH(bool, dark);
    QFETCH(int, front);
    QFETCH(int, back);
    QFETCH(double, least);
    auto *app = static_cast<App *>(qApp);
    setDarkAppearance(dark);
    QCOMPARE(app->isInDarkMode(), dark);
    const double ratio = contrastRatio(app->getColor(App::UIElement(front)), app->getColor(App::UIElement(back)));
    setDarkAppearance(false);
    QVERIFY2(ratio >= least, qPrintable(QString("%1:1").arg(ratio, 0, 'f', 2)));
}

void tst_Gui::chooserShowsItsArrow_data()
{
    QTest::addColumn<bool>("dark");
    QTest::newRow("light") << false;
    QTest::newRow("dark") << true;
}

void tst_Gui::chooserShowsItsArrow()
{
    // The drop-down part of the chooser must carry a mark that stands out from the box.
    QFETCH(bool, dark);
    setDarkAppearance(dark);
    QComboBox chooser;
    chooser.addItem("Choose camera");
    gui::setComboBoxStyle(&chooser, 360);
    chooser.resize(360, 36);
    const QImage picture = chooser.grab().toImage();
    setDarkAppearance(false);
    // The box's own colour beside the text, then the strongest mark in the last 24 pixels.
    const QColor box = picture.pixelColor(picture.width() / 2, picture.height() / 2);
    const double strongest =
        strongestContrast(picture, box, QRect(picture.width() - 24, 4, 20, picture.height() - 8));
    QVERIFY2(strongest >= 3.0, qPrintable(QString("strongest mark %1:1").arg(strongest, 0, 'f', 2)));
}

void tst_Gui::dragHandleStandsOut_data()
{
    chooserShowsItsArrow_data();
}

void tst_Gui::dragHandleStandsOut()
{
    // The handle is the only way to reorder rows: as a glyph on the row it needs 3:1.
    QFETCH(bool, dark);
    setDarkAppearance(dark);
    QWidget page;
    auto *layout = new QVBoxLayout(&page);
    DraggableFrame *row = gui::createSettingLayoutEx(layout, "icon_brightness", "Brightness");
    const QColor panel = static_cast<App *>(qApp)->getColor(App::PanelBackground);
    setDarkAppearance(false);
    auto *handle = row->findChild<QLabel *>("icon_drag_label");
    QVERIFY(handle && !handle->pixmap().isNull());
    const QImage picture = onColour(handle->pixmap(), panel);
    const double strongest = strongestContrast(picture, panel, picture.rect());
    QVERIFY2(strongest >= 3.0, qPrintable(QString("handle %1:1").arg(strongest, 0, 'f', 2)));
}

void tst_Gui::wizardMarksStandOut_data()
{
    chooserShowsItsArrow_data();
}

void tst_Gui::wizardMarksStandOut()
{
    // The setup wizard's panels end in a mark on the panel's colour: the request arrow in its ring,
    // or the done check, a tick on a disc. Each needs 3:1 against the panel, and the tick against
    // its disc.
    QFETCH(bool, dark);
    setDarkAppearance(dark);
    const QColor panel = static_cast<App *>(qApp)->getColor(App::PanelBackground);
    setDarkAppearance(false);
    const auto onPanel = [&](const char *asset) {
        QLabel label;
        gui::setIconLabel(&label, 40, asset, false);
        return onColour(label.pixmap(), panel);
    };
    // The colour the mark is drawn in: its most common one other than the panel's.
    const auto markColour = [&](const QImage &picture) {
        QHash<QRgb, int> counts;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                if (picture.pixel(x, y) != panel.rgb())
                    ++counts[picture.pixel(x, y)];
        QRgb most = panel.rgb();
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            most = it.value() > counts.value(most) ? it.key() : most;
        return QColor(most);
    };

    const QImage request = onPanel(":/assets/permissions/request");
    const double ring = contrastRatio(markColour(request), panel);
    QVERIFY2(ring >= 3.0, qPrintable(QString("request mark %1:1").arg(ring, 0, 'f', 2)));

    const QImage check = onPanel(":/assets/permissions/check");
    const QColor disc = markColour(check);
    const double discRatio = contrastRatio(disc, panel);
    QVERIFY2(discRatio >= 3.0, qPrintable(QString("check disc %1:1").arg(discRatio, 0, 'f', 2)));
    // Inside the disc only: the disc's rim meets the panel, not the tick.
    const QRect inner(check.width() * 3 / 20, check.height() * 3 / 20, check.width() * 7 / 10, check.height() * 7 / 10);
    const double tick = strongestContrast(check, disc, QRegion(inner, QRegion::Ellipse));
    QVERIFY2(tick >= 3.0, qPrintable(QString("tick on its disc %1:1").arg(tick, 0, 'f', 2)));
}

void tst_Gui::iconLabel()
{
    QLabel label;
    gui::setIconLabel(&label, 15, "icon_brightness", true);
    QVERIFY(!label.pixmap().isNull());
    QCOMPARE(label.size(), QSize(15, 15));
    QCOMPARE(gui::assetPath("icon_toggle"), QString(":/assets/icon_toggle.svg"));
    QCOMPARE(gui::assetPath(":/assets/permissions/check"), QString(":/assets/permissions/check.svg"));
}

void tst_Gui::missingIconLeavesLabelEmpty()
{
    QLabel label;
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Unable to find asset:.*icon_nowhere.*\\(png or svg\\)"));
    gui::setIconLabel(&label, 15, "icon_nowhere", true);
    QVERIFY(label.pixmap().isNull());
}

void tst_Gui::sliderRowToggleFollowsAutoMode_data()
{
    QTest::addColumn<bool>("autoAvailable");
    QTest::addColumn<bool>("autoEnabled");
    QTest::addColumn<bool>("checked");
    QTest::newRow("auto on starts unchecked") << true << true << false;
    QTest::newRow("auto off starts checked") << true << false << true;
    QTest::newRow("no auto mode starts checked") << false << false << true;
}

void tst_Gui::sliderRowToggleFollowsAutoMode()
{
    QFETCH(bool, autoAvailable);
    QFETCH(bool, autoEnabled);
    QFETCH(bool, checked);
    QWidget page;
    auto *layout = new QVBoxLayout(&page);
    DraggableFrame *row = gui::createSettingLayout(layout, "icon_brightness", "Brightness", gui::PlainSlider,
                                                   autoAvailable, autoEnabled, -64, 64, 0, 1, 10,
                                                   [](QCheckBox *, QSlider *, QLabel *) {});
    QCOMPARE(row->property("setting_name").toString(), QString("Brightness"));
    auto *toggle = row->findChild<QCheckBox *>("toggle_button");
    QVERIFY(toggle);
    QCOMPARE(toggle->isChecked(), checked);
    auto *slider = row->findChild<QSlider *>();
    QCOMPARE(slider->minimum(), -64);
    QCOMPARE(slider->maximum(), 64);
    QCOMPARE(slider->value(), 10);
    for (const char *name : {"icon_label", "title_label", "icon_drag_label", "value_label"})
        QVERIFY2(row->findChild<QLabel *>(name), name);
}

void tst_Gui::sliderRowTakesExternalValues()
{
    QWidget page;
    auto *layout = new QVBoxLayout(&page);
    int changes = 0;
    int shown = 0;
    const auto show = [](QSlider *slider, QLabel *label) {
        label->setText(gui::valueText("TEMP", slider->value(), slider->minimum(), slider->maximum()));
    };
    DraggableFrame *row = gui::createSettingLayout(
        layout, "icon_white_balance", "White Balance", gui::HeatSlider, true, false, 2800, 6500, 4600, 1, 4600,
        [&changes, show](QCheckBox *, QSlider *slider, QLabel *label) {
            ++changes;
            show(slider, label);
        },
        [&shown, show](QCheckBox *, QSlider *slider, QLabel *label) {
            ++shown;
            show(slider, label);
        });
    auto *toggle = row->findChild<QCheckBox *>("toggle_button");
    auto *slider = row->findChild<QSlider *>();
    QSignalSpy toggled(toggle, &QCheckBox::toggled);
    QSignalSpy moved(slider, &QSlider::valueChanged);
    // An announced value is shown, not applied again.
    emit row->onValueHasExternallyChanged(5000, true);
    QCOMPARE(slider->value(), 5000);
    QVERIFY(!toggle->isChecked());
    QVERIFY(!slider->isEnabled());
    QCOMPARE(toggled.count(), 0);
    QCOMPARE(moved.count(), 0);
    QCOMPARE(changes, 0);
    QCOMPARE(shown, 1);
    QCOMPARE(row->findChild<QLabel *>("value_label")->text(), QString("5000K"));
    emit row->onValueHasExternallyChanged(4000, false);
    QVERIFY(slider->isEnabled());
    QCOMPARE(row->findChild<QLabel *>("value_label")->text(), QString("4000K"));
    QCOMPARE(changes, 0);

    // The user's own moves are applied.
    slider->setValue(3000);
    QCOMPARE(changes, 1);
    toggle->setChecked(false);
    QCOMPARE(changes, 2);
    QCOMPARE(shown, 2);
}

void tst_Gui::childrenFollowEnabledState()
{
    QWidget page;
    auto *layout = new QVBoxLayout(&page);
    DraggableFrame *row = gui::createSettingLayout(layout, "icon_zoom", "Zoom", gui::PlainSlider, false, false, 0,
                                                   60, 0, 1, 0, [](QCheckBox *, QSlider *, QLabel *) {});
    auto *toggle = row->findChild<QCheckBox *>("toggle_button");
    auto *slider = row->findChild<QSlider *>();
    auto *title = row->findChild<QLabel *>("title_label");
    gui::enableChildren(row, false, {toggle});
    QVERIFY(!slider->isEnabled());
    QVERIFY(toggle->isEnabled());
    QVERIFY(title->isEnabled()); // labels are not controls
    gui::showChildren(row, false);
    QVERIFY(toggle->isHidden() && slider->isHidden());
}

void tst_Gui::previewCoversAndMirrors_data()
{
    QTest::addColumn<bool>("mirrorSetting");
    QTest::addColumn<bool>("ignoreMirroring");
    QTest::addColumn<bool>("mirrored");
    QTest::newRow("camera frame") << false << false << false;
    QTest::newRow("camera frame, mirror preview") << true << false << true;
    QTest::newRow("stock picture, mirror preview") << true << true << false;
}

// A 640 x 360 picture, left half red and right half blue, in the 320 x 180
// preview: it covers the rounded area and is mirrored only when asked.
void tst_Gui::previewCoversAndMirrors()
{
    QFETCH(bool, mirrorSetting);
    QFETCH(bool, ignoreMirroring);
    QFETCH(bool, mirrored);
    auto *app = static_cast<App *>(qApp);
    app->setMgr()->setSubSetting(BaseSettings::General, BaseSettings::FlipHorizontal, mirrorSetting);

    QImage picture(640, 360, QImage::Format_ARGB32);
    picture.fill(Qt::blue);
    for (int y = 0; y < 360; ++y)
        std::fill_n(reinterpret_cast<QRgb *>(picture.scanLine(y)), 320, qRgb(255, 0, 0));

    RenderFrame frame;
    QCOMPARE(frame.objectName(), QString("RenderFrame"));
    frame.setFixedSize(320, 180);
    frame.onNewFrame(picture, ignoreMirroring);
    const QImage shown = frame.grab().toImage();
    const QColor left = shown.pixelColor(40, 90);
    const QColor right = shown.pixelColor(280, 90);
    QCOMPARE(left, mirrored ? QColor(Qt::blue) : QColor(Qt::red));
    QCOMPARE(right, mirrored ? QColor(Qt::red) : QColor(Qt::blue));
    // Scaled by max(164 / 360, 304 / 640): the content area is covered edge to edge.
    QCOMPARE(shown.pixelColor(9, 90), mirrored ? QColor(Qt::blue) : QColor(Qt::red));
    QCOMPARE(shown.pixelColor(200, 10), mirrored ? QColor(Qt::red) : QColor(Qt::blue));
    app->setMgr()->setSubSetting(BaseSettings::General, BaseSettings::FlipHorizontal, false);
}

TALVENTO_GUI_TEST_MAIN(tst_Gui)
#include "tst_gui.moc"
