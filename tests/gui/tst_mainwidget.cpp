#include "guitestmain.h"
#include "pagesfit.h"

#include "app/control/controlservice.h"
#include "camera/cameragrabber.h"
#include "camera/capturesession.h"
#include "camera/simulatedcamera.h"
#include "camera/uvc/controls.h"
#include "gui/draggableframe.h"
#include "gui/mainwidget.h"
#include "vcam/sharedframering.h"
#include "vcam/vcam.h"
#include "vcam/virtualcamera.h"
#include "video/postprocessor.h"
#include "light/lightcontroller.h"
#include "light/simulatedlightpanel.h"

#include <QBuffer>
#include <QCheckBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QPointer>
#include <QComboBox>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QLabel>
#include <QLineEdit>
#include <QMovie>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

App *app()
{
    return static_cast<App *>(qApp);
}

QVBoxLayout *pageLayout(MainWidget &window, const QString &page)
{
    for (QWidget *frame : window.findChildren<QWidget *>("settingsFrame")) {
        if (frame->layout()->property("settings_name").toString() == page)
            return static_cast<QVBoxLayout *>(frame->layout());
    }
    return nullptr;
}

QStringList rowNames(QVBoxLayout *layout)
{
    QStringList names;
    for (int i = 0; i < layout->count(); ++i) {
        if (auto *row = qobject_cast<DraggableFrame *>(layout->itemAt(i)->widget()))
            names.append(row->property("setting_name").toString());
    }
    return names;
}

QCheckBox *toggleTitled(QWidget *row, const QString &title)
{
    for (QCheckBox *box : row->findChildren<QCheckBox *>("toggle_button")) {
        const auto *label = box->parentWidget()->findChild<QLabel *>();
        if (label && label->text() == title)
            return box;
    }
    return nullptr;
}

DraggableFrame *row(MainWidget &window, const QString &page, const QString &objectName)
{
    return pageLayout(window, page)->parentWidget()->findChild<DraggableFrame *>(objectName);
}

QString valueText(DraggableFrame *row)
{
    return row->findChild<QLabel *>("value_label")->text();
}

// The camera and the effects a window drives, on simulated devices; the
// camera is left stopped.
struct Devices
{
    Devices()
    {
        CaptureSession::useSimulatedCameras(true);
        uvc::useSimulatedDevices(true);
        virtualcamera::publish();
    }
    ~Devices()
    {
        camera.stopCamera();
        uvc::useSimulatedDevices(false);
        CaptureSession::useSimulatedCameras(false);
    }
    MainWidget::Controllers controllers() { return {nullptr, nullptr, &camera, &effects}; }

    CameraGrabber camera;
    PostProcessor effects{app()->setMgr()};
};

// The settings window over the simulated devices and a started virtual camera feed, with low
// power mode off: what the preview tests start from. The window is not shown yet.
struct PreviewWindow
{
    static BaseSettings *lowPowerOff()
    {
        BaseSettings *settings = app()->setMgr();
        settings->setSubSetting(BaseSettings::General, BaseSettings::LowPowerMode, false);
        return settings;
    }

    BaseSettings *settings = lowPowerOff();
    Devices devices;
    VCam feed{settings, nullptr};
    bool started = feed.start();
    MainWidget window{devices.controllers(), nullptr};
};

// A window that shows the light panel's rows alone, on a simulated panel not yet searched for.
struct LightWindow
{
    MainWidget::Controllers controllers()
    {
        MainWidget::Controllers only;
        only.light = &light;
        return only;
    }

    std::shared_ptr<SimulatedLightPanel> panel = std::make_shared<SimulatedLightPanel>();
    LightController light{app()->setMgr(), "Light_ble", "0000f530-1212-efde-1523-785feabcd123",
                          "00002902-0000-1000-8000-00805f9b34fb", "0000f532-1212-efde-1523-785feabcd123", nullptr,
                          panel};
    MainWidget window{controllers(), nullptr};
};

// A table of page orders: the page, the order stored for it (none when empty), the rows it shows.
void addStoredOrderColumns()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QStringList>("expected");
}

// The current row of a page-order table: a window on `controllers` builds the page's rows in the
// stored order.
void compareStoredOrder(const MainWidget::Controllers &controllers)
{
    QFETCH(QString, page);
    QFETCH(QStringList, stored);
    QFETCH(QStringList, expected);
    if (!stored.isEmpty())
        app()->setMgr()->setValue(page, stored);
    MainWidget window(controllers, nullptr);
    QCOMPARE(rowNames(pageLayout(window, page)), expected);
}

} // namespace

class tst_MainWidget : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void storedOrderComesFirst_data();
    void storedOrderComesFirst();
    void draggingStoresWholeOrder();
    void resetTurnsTogglesBack();
    void tabsWithoutAudioDevice();
    void pagesKeepTheirHeights();
    void pagesFitTheirDesignedSize();
    void checkedButtonsReadable_data();
    void checkedButtonsReadable();
    void wheelOverSliderScrollsPage();
    void wheelReachesThePageThroughTheApplication();
    void overlaySlidersStoreFractions_data();
    void overlaySlidersStoreFractions();
    void logoImageIsCheckedBeforeItIsStored_data();
    void logoImageIsCheckedBeforeItIsStored();
    void rebuiltWindowTakesTheNewAppearance();
    void lightWarningFollowsConnection();
    void updateButtonTellsWhatRuns();
    void lightRowsLeaveADarkPanelDark();
    void emptyPageSaysIncompatible();
    void deviceRowsInStoredOrder_data();
    void deviceRowsInStoredOrder();
    void effectRowsDriveThePostProcessor();
    void busWritesShowInTheOpenWindow();
    void cameraRowsFollowTheCamera();
    void previewFollowsVisibilityAndLowPower();
    void previewIsNoOtherReader();
    void unpluggedCameraRecovers();
};

void tst_MainWidget::initTestCase()
{
    // A camera segment of this run's own: other runs on the machine publish theirs.
    SharedFrameRing::setDefaultName(QStringLiteral("/talvento-vcam-mainwidget-%1").arg(QCoreApplication::applicationPid()));
}

void tst_MainWidget::init()
{
    BaseSettings *settings = app()->setMgr();
    for (const char *key : {"Sliders", "Camera", "Light", "Audio", "Overlays", "Settings"})
        settings->remove(key);
    settings->sync();
}

void tst_MainWidget::storedOrderComesFirst_data()
{
    addStoredOrderColumns();
    QTest::newRow("nothing stored") << "Overlays" << QStringList() << QStringList{"Logo", "Text"};
    QTest::newRow("stored order") << "Overlays" << QStringList{"Text", "Logo"} << QStringList{"Text", "Logo"};
    QTest::newRow("missing names appended")
        << "Settings" << QStringList{"App Information"} << QStringList{"App Information", "Settings"};
    QTest::newRow("unknown names build nothing")
        << "Overlays" << QStringList{"Sticker", "Text"} << QStringList{"Text", "Logo"};
}

void tst_MainWidget::storedOrderComesFirst()
{
    compareStoredOrder(MainWidget::Controllers::fromApp());
}

void tst_MainWidget::draggingStoresWholeOrder()
{
    MainWidget window;
    QVBoxLayout *layout = pageLayout(window, "Settings");
    auto *general = layout->parentWidget()->findChild<DraggableFrame *>("Setting_Settings");
    auto *info = layout->parentWidget()->findChild<DraggableFrame *>("Setting_AppInformation");
    QVERIFY(general && info);
    // A drag entering a neighbour moves the dragged row to its place at once.
    emit info->onFrameDropped(info, general);
    QCOMPARE(rowNames(layout), (QStringList{"App Information", "Settings"}));
    QCOMPARE(app()->setMgr()->value("Settings").toStringList(), (QStringList{"App Information", "Settings"}));

    // The stored order is what the next window builds.
    MainWidget next;
    QCOMPARE(rowNames(pageLayout(next, "Settings")), (QStringList{"App Information", "Settings"}));
}

void tst_MainWidget::resetTurnsTogglesBack()
{
    MainWidget window;
    QWidget *settingsRow = pageLayout(window, "Settings")->parentWidget()->findChild<DraggableFrame *>("Setting_Settings");
    QCheckBox *login = toggleTitled(settingsRow, "Start at login");
    QCheckBox *mirror = toggleTitled(settingsRow, "Mirror preview");
    QCheckBox *lowPower = toggleTitled(settingsRow, "Low power mode");
    QCheckBox *follow = toggleTitled(settingsRow, "Light follows the camera");
    QVERIFY(login && mirror && lowPower && follow);
    QVERIFY(!follow->isChecked());
    login->setChecked(false);
    mirror->setChecked(true);
    lowPower->setChecked(true);
    follow->setChecked(true);
    QCOMPARE(app()->setMgr()->getSubSetting(BaseSettings::General, BaseSettings::LightFollowsCamera).toBool(), true);
    QCOMPARE(app()->setMgr()->getSubSetting(BaseSettings::General, BaseSettings::FlipHorizontal).toBool(), true);

    QWidget *logoRow = pageLayout(window, "Overlays")->parentWidget()->findChild<DraggableFrame *>("Setting_Logo");
    QCheckBox *showLogo = logoRow->findChild<QCheckBox *>("toggle_button");
    showLogo->setChecked(true);

    window.resetAllSettings();
    QVERIFY(login->isChecked());
    QVERIFY(!mirror->isChecked());
    QVERIFY(!lowPower->isChecked());
    QVERIFY(!follow->isChecked());
    QVERIFY(!showLogo->isChecked());
    BaseSettings *settings = app()->setMgr();
    QCOMPARE(settings->getSubSetting(BaseSettings::General, BaseSettings::StartAtLogin).toBool(), true);
    QCOMPARE(settings->getSubSetting(BaseSettings::General, BaseSettings::FlipHorizontal).toBool(), false);
    QCOMPARE(settings->getSubSetting(BaseSettings::General, BaseSettings::LowPowerMode).toBool(), false);
    QCOMPARE(settings->getSubSetting(BaseSettings::General, BaseSettings::LightFollowsCamera).toBool(), false);
    QCOMPARE(settings->getSubSetting(BaseSettings::LogoOverlay, BaseSettings::Enabled).toBool(), false);
}

void tst_MainWidget::tabsWithoutAudioDevice()
{
    MainWidget window;
    auto *header = window.findChild<QWidget *>("tabHeader");
    const QList<QPushButton *> tabs = header->findChildren<QPushButton *>();
    QCOMPARE(tabs.size(), 5);
    QVERIFY(tabs[0]->isChecked());
    QVERIFY(!pageLayout(window, "Audio"));

    auto *stack = window.findChild<QStackedWidget *>("_mainStack");
    QCOMPARE(stack->count(), 5);
    tabs[3]->click();
    QCOMPARE(stack->currentWidget()->objectName(), QString("page4"));
    QCOMPARE(stack->currentWidget()->findChild<QWidget *>("settingsFrame")->layout()->property("settings_name"),
             QVariant("Overlays"));
}

void tst_MainWidget::pagesKeepTheirHeights()
{
    MainWidget window;
    const QList<std::pair<QString, int>> heights = {
        {"Sliders", 880}, {"Camera", 780}, {"Light", 520}, {"Overlays", 780}, {"Settings", 910}};
    for (const auto &[page, height] : heights) {
        QVBoxLayout *layout = pageLayout(window, page);
        QVERIFY2(layout, qPrintable(page));
        QCOMPARE(layout->property("settings_height").toInt(), height);
    }
}

void tst_MainWidget::pagesFitTheirDesignedSize()
{
    Devices devices;
    MainWidget window(devices.controllers(), nullptr);
    verifyPagesFitTheirDesignedSize(window);
}

void tst_MainWidget::checkedButtonsReadable_data()
{
    QTest::addColumn<bool>("dark");
    QTest::newRow("light") << false;
    QTest::newRow("dark") << true;
}

void tst_MainWidget::checkedButtonsReadable()
{
    // The Bold button and the chosen alignment: the glyph of a checked button stands out
    // from the button's own colour by 3:1 at least, in both appearances.
    QFETCH(bool, dark);
    setDarkAppearance(dark);
    QCOMPARE(app()->isInDarkMode(), dark);
    MainWidget window;
    setDarkAppearance(false);
    QWidget *textRow = row(window, "Overlays", "Setting_Text");
    QVERIFY(textRow);
    QList<QPushButton *> checked;
    for (QPushButton *button : textRow->findChildren<QPushButton *>()) {
        if (button->toolTip() == "Bold") {
            button->setChecked(true);
            checked.append(button);
        } else if (button->toolTip() == "Alignment" && button->isChecked()) {
            checked.append(button);
        }
    }
    QCOMPARE(checked.size(), 2);
    for (QPushButton *button : checked) {
        button->ensurePolished();
        const QImage picture = button->grab().toImage();
        // The button's colour inside its border, then the strongest glyph pixel at its centre.
        const QColor face = picture.pixelColor(3, picture.height() / 2);
        double strongest = 1.0;
        const QRect glyph = QRect(QPoint(), picture.size()).adjusted(6, 6, -6, -6);
        for (int y = glyph.top(); y <= glyph.bottom(); ++y)
            for (int x = glyph.left(); x <= glyph.right(); ++x)
                strongest = std::max(strongest, contrastRatio(picture.pixelColor(x, y), face));
        QVERIFY2(strongest >= 3.0,
                 qPrintable(QString("%1: %2:1 on %3").arg(button->toolTip()).arg(strongest, 0, 'f', 2).arg(face.name())));
    }
}

void tst_MainWidget::wheelOverSliderScrollsPage()
{
    MainWidget window;
    window.findChild<QWidget *>("tabHeader")->findChildren<QPushButton *>()[3]->click(); // Overlays
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(200); // the page's own sizing, queued by showing it, is done
    window.resize(window.width(), 500);
    auto *stack = window.findChild<QStackedWidget *>("_mainStack");
    auto *scroll = stack->currentWidget()->findChild<QScrollArea *>("scrollArea");
    QTRY_VERIFY(scroll->verticalScrollBar()->maximum() > 0);
    QSlider *slider = pageLayout(window, "Overlays")->parentWidget()->findChild<QSlider *>();
    const int before = slider->value();
    QWheelEvent wheel(QPointF(5, 5), slider->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    window.forwardMouseWheelEvent(&wheel);
    QCOMPARE(slider->value(), before);
    QVERIFY(scroll->verticalScrollBar()->value() > 0);
}

// A wheel turned over a slider of the application's own window travels through the
// application's event filter to the page, which scrolls; the slider keeps its value.
void tst_MainWidget::wheelReachesThePageThroughTheApplication()
{
    app()->recreateMainWindow();
    MainWidget *window = nullptr;
    for (QWidget *top : QApplication::topLevelWidgets())
        if (auto *candidate = qobject_cast<MainWidget *>(top))
            window = candidate;
    QVERIFY(window);
    window->findChild<QWidget *>("tabHeader")->findChildren<QPushButton *>()[3]->click(); // Overlays
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QTest::qWait(200); // the page's own sizing, queued by showing it, is done
    window->resize(window->width(), 500);
    auto *stack = window->findChild<QStackedWidget *>("_mainStack");
    auto *scroll = stack->currentWidget()->findChild<QScrollArea *>("scrollArea");
    QTRY_VERIFY(scroll->verticalScrollBar()->maximum() > 0);
    QSlider *slider = pageLayout(*window, "Overlays")->parentWidget()->findChild<QSlider *>();
    QVERIFY(slider);
    const int before = slider->value();
    QWheelEvent wheel(QPointF(5, 5), slider->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(slider, &wheel);
    QCOMPARE(slider->value(), before);
    QVERIFY(scroll->verticalScrollBar()->value() > 0);
    window->hide();
}

void tst_MainWidget::overlaySlidersStoreFractions_data()
{
    QTest::addColumn<QString>("rowName");
    QTest::addColumn<int>("group");
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("entry");
    QTest::newRow("logo size") << "Setting_Logo" << int(BaseSettings::LogoOverlay) << "Size" << int(BaseSettings::Size);
    QTest::newRow("logo opacity") << "Setting_Logo" << int(BaseSettings::LogoOverlay) << "Opacity"
                                  << int(BaseSettings::Opacity);
}

void tst_MainWidget::overlaySlidersStoreFractions()
{
    // The sliders show percent and store the fraction: 0.25 shows as 25, 37 is stored as 0.37.
    QFETCH(QString, rowName);
    QFETCH(int, group);
    QFETCH(QString, title);
    QFETCH(int, entry);
    BaseSettings *settings = app()->setMgr();
    const auto g = BaseSettings::Settings(group);
    const auto e = BaseSettings::SubSettings(entry);
    settings->setSubSetting(g, e, 0.25);
    MainWidget window;
    QWidget *overlay = row(window, "Overlays", rowName);
    QVERIFY(overlay);
    QSlider *slider = nullptr;
    for (QLabel *label : overlay->findChildren<QLabel *>())
        if (label->text() == title)
            slider = label->parentWidget()->findChild<QSlider *>();
    QVERIFY(slider);
    QCOMPARE(slider->value(), 25);
    slider->setValue(37);
    QVERIFY(std::abs(settings->getSubSetting(g, e).toDouble() - 0.37) < 1e-6);
    QVERIFY(slider->parentWidget()->findChildren<QLabel *>().last()->text() == "37%");
}

// The window the application rebuilds for a new appearance takes its colours afresh and
// keeps the old one's visibility.
void tst_MainWidget::logoImageIsCheckedBeforeItIsStored_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("goneBeforeRead");
    QTest::addColumn<QString>("message");
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QImage picture(8, 8, QImage::Format_ARGB32);
        picture.fill(Qt::red);
        picture.save(&buffer, "PNG");
    }
    QTest::newRow("a picture is stored") << png << false << QString();
    QTest::newRow("not a picture") << QByteArray("no pixels here") << false << QString("Invalid image data!");
    QTest::newRow("file gone before it is read") << png << true << QString("Unable to read file!");
}

void tst_MainWidget::logoImageIsCheckedBeforeItIsStored()
{
    // The logo's image button: the chosen file is stored only when it can be read and is a
    // picture; otherwise a message box says why and the stored image stays.
    QFETCH(QByteArray, content);
    QFETCH(bool, goneBeforeRead);
    QFETCH(QString, message);
    QTemporaryDir folder;
    const QString path = folder.filePath("logo.png");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    BaseSettings *settings = app()->setMgr();
    const QByteArray before("stored before");
    settings->setSubSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData, before);

    MainWidget window;
    QPushButton *choose = nullptr;
    for (QPushButton *button : row(window, "Overlays", "Setting_Logo")->findChildren<QPushButton *>())
        choose = button->toolTip() == "Choose an image" ? button : choose;
    QVERIFY(choose);

    // Answers the dialogs as they come up: the file dialog picks the file, a message box is read
    // and closed.
    QStringList messages;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            dialog->selectFile(path);
            static_cast<QDialog *>(dialog)->accept(); // as the Open button does
            if (goneBeforeRead)
                QFile::remove(path);
        } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            messages << box->informativeText();
            box->buttons().constFirst()->click();
        }
    });
    answer.start(10);
    choose->click();
    answer.stop();

    QCOMPARE(messages, message.isEmpty() ? QStringList() : QStringList{message});
    const QByteArray stored = settings->getSubSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData).toByteArray();
    QCOMPARE(stored, message.isEmpty() ? content : before);
}

void tst_MainWidget::rebuiltWindowTakesTheNewAppearance()
{
    const auto current = [] {
        MainWidget *found = nullptr;
        for (QWidget *top : QApplication::topLevelWidgets())
            if (auto *candidate = qobject_cast<MainWidget *>(top))
                found = candidate;
        return found;
    };
    app()->recreateMainWindow();
    QPointer<MainWidget> light = current();
    QVERIFY(light);
    light->show();
    QVERIFY(QTest::qWaitForWindowExposed(light));
    const QString lightSheet = light->findChild<QWidget *>("ShadowLayer")->styleSheet();
    QVERIFY(lightSheet.contains(app()->getColorStr(App::WindowBackgroundTranslucent)));

    setDarkAppearance(true);
    app()->recreateMainWindow();
    MainWidget *dark = current();
    const QString darkSheet = dark->findChild<QWidget *>("ShadowLayer")->styleSheet();
    const QString darkBackground = app()->getColorStr(App::WindowBackgroundTranslucent);
    setDarkAppearance(false);
    QVERIFY(!light); // the old window is gone
    QVERIFY(dark->isVisible());
    QVERIFY(darkSheet.contains(darkBackground));
    QVERIFY(!darkSheet.contains(lightSheet.section(';', 0, 0)));
    dark->hide();
}

// The update button says what the updater is doing and takes no click meanwhile; afterwards it
// reads as it did before the check.
void tst_MainWidget::updateButtonTellsWhatRuns()
{
    MainWidget window;
    auto *button = window.findChild<QPushButton *>("check_update_button");
    QVERIFY(button);
    const QString idle = button->text();
    QCOMPARE(idle, QString("Check for updates"));
    QVERIFY(button->isEnabled());
    const auto shows = [button](const QString &text, bool enabled) {
        return button->text() == text && button->isEnabled() == enabled;
    };

    emit app()->onUpdaterStarted();
    QVERIFY2(shows("Checking for update...", false), qPrintable(button->text()));
    emit app()->onUpdaterFinished();
    QVERIFY2(shows(idle, true), qPrintable(button->text()));

    emit app()->onDownloaderStarted();
    QVERIFY2(shows("Downloading update (0%)...", false), qPrintable(button->text()));
    emit app()->onDownloaderProgress(42.7f);
    QVERIFY2(shows("Downloading update (42%)...", false), qPrintable(button->text()));
    emit app()->onDownloaderProgress(100.0f);
    QVERIFY2(shows("Downloading update (100%)...", false), qPrintable(button->text()));
    emit app()->onDownloaderFinished();
    QVERIFY2(shows(idle, true), qPrintable(button->text()));
}

// Without a connected panel the light page shows the warning instead of its
// rows; once the panel connects the rows come back and the warning goes.
void tst_MainWidget::lightWarningFollowsConnection()
{
    LightWindow rig;
    LightController &light = rig.light;
    MainWidget &window = rig.window;
    QVBoxLayout *layout = pageLayout(window, "Light");
    QWidget *page = layout->parentWidget();
    auto *warning = page->findChild<QFrame *>("warning_frame");
    QVERIFY(warning);
    const QString text = warning->findChild<QLabel *>("warning_frame_text")->text();
    QVERIFY(text.startsWith("This feature requires a charged <br><br>"));
    QVERIFY(text.contains(">Talvento Light Panel</a>"));
    auto *temperature = page->findChild<DraggableFrame *>("Setting_Temperature");
    auto *brightness = page->findChild<DraggableFrame *>("Setting_Brightness");
    QVERIFY(temperature && brightness);
    QCOMPARE(rowNames(layout), (QStringList{"Temperature", "Brightness"}));
    QVERIFY(temperature->isHidden() && brightness->isHidden());
    QVERIFY(!warning->parentWidget()->isHidden());

    light.start();
    QTRY_VERIFY_WITH_TIMEOUT(!temperature->isHidden(), 10000);
    QVERIFY(!brightness->isHidden());
    QVERIFY(warning->parentWidget()->isHidden());
    QVERIFY(brightness->findChild<QSlider *>()->isEnabled());

    light.stop();
    QTRY_VERIFY_WITH_TIMEOUT(temperature->isHidden(), 10000);
    QVERIFY(!warning->parentWidget()->isHidden());
}

// A panel switched off from elsewhere (the bus, the light following the camera) stays dark
// while the window rebuilds its pages: the rows show the stored brightness without sending it.
// The user's own slider move still reaches the panel.
void tst_MainWidget::lightRowsLeaveADarkPanelDark()
{
    app()->setMgr()->setSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness, 65);
    app()->setMgr()->setSubSetting(BaseSettings::BLELight, BaseSettings::BLETemperature, 3250);
    LightWindow rig;
    const std::shared_ptr<SimulatedLightPanel> &panel = rig.panel;
    LightController &light = rig.light;
    MainWidget &window = rig.window;
    panel->setScanPassMs(300);
    panel->setLocalState(65, 50);
    DraggableFrame *brightness = row(window, "Light", "Setting_Brightness");
    QVERIFY(brightness);
    QSlider *slider = brightness->findChild<QSlider *>();
    light.start();
    QTRY_VERIFY_WITH_TIMEOUT(light.isConnected() && panel->isNotifying() && slider->isEnabled(), 20000);
    QCOMPARE(slider->value(), 65);

    QVERIFY(light.setLit(false));
    QTRY_COMPARE(panel->brightness(), 0);
    const int framesWhenDark = int(panel->writtenFrames().size());
    window.updateAllPages();
    window.updateLightPage();
    QCOMPARE(slider->value(), 65);
    QCOMPARE(valueText(brightness), QString("65%"));
    // Whatever the rebuilds queued goes out before this frame, which ends the list.
    QVERIFY(light.setTemperature(6500, false));
    const QByteArray marker = QByteArray::fromHex("aa5510" "00" "55aa");
    QTRY_VERIFY(!panel->writtenFrames().isEmpty() && panel->writtenFrames().last() == marker);
    QCOMPARE(panel->writtenFrames().mid(framesWhenDark), QList<QByteArray>{marker});
    QCOMPARE(panel->brightness(), 0);
    QVERIFY(!light.isLit());

    slider->setValue(80);
    QTRY_COMPARE(panel->brightness(), 80);
    QVERIFY(light.isLit());
    QCOMPARE(valueText(brightness), QString("80%"));
    light.stop();
}

void tst_MainWidget::emptyPageSaysIncompatible()
{
    MainWidget window(MainWidget::Controllers{}, nullptr);
    QWidget *page = pageLayout(window, "Light")->parentWidget();
    QCOMPARE(page->findChild<QLabel *>("warning_frame_text")->text(),
             QString("This device doesn't seem to be compatible."));
    QVERIFY(!page->findChild<DraggableFrame *>());
}

void tst_MainWidget::deviceRowsInStoredOrder_data()
{
    addStoredOrderColumns();
    QTest::newRow("sliders by default")
        << "Sliders" << QStringList()
        << QStringList{"White Balance", "Skin Tone", "Brightness", "Saturation", "Exposure", "Backlight"};
    QTest::newRow("sliders stored")
        << "Sliders" << QStringList{"Exposure", "Brightness"}
        << QStringList{"Exposure", "Brightness", "White Balance", "Skin Tone", "Saturation", "Backlight"};
    QTest::newRow("camera by default")
        << "Camera" << QStringList() << QStringList{"Zoom", "Background Blur", "Sharpness", "Contrast", "Focus"};
    QTest::newRow("settings by default")
        << "Settings" << QStringList()
        << QStringList{"Settings", "Rotation", "Angle", "Home Voltage", "App Information"};
}

void tst_MainWidget::deviceRowsInStoredOrder()
{
    Devices devices;
    compareStoredOrder(devices.controllers());
}

void tst_MainWidget::effectRowsDriveThePostProcessor()
{
    Devices devices;
    MainWidget window(devices.controllers(), nullptr);

    DraggableFrame *skin = row(window, "Sliders", "Setting_SkinTone");
    QVERIFY(skin);
    // The effects work without the preview camera.
    QVERIFY(skin->findChild<QCheckBox *>("toggle_button")->isEnabled());
    QSlider *slider = skin->findChild<QSlider *>();
    slider->setValue(slider->minimum() + 3);
    CameraSetting setting;
    QVERIFY(devices.effects.getSkinTone(setting));
    QCOMPARE(setting.value, int64_t(slider->minimum() + 3));

    DraggableFrame *rotation = row(window, "Settings", "Setting_CameraRotation");
    rotation->findChild<QSlider *>()->setValue(1);
    QCOMPARE(valueText(rotation), QString("Vertical"));
    QVERIFY(devices.effects.getCameraRotation(setting));
    QCOMPARE(setting.value, int64_t(1));

    // A value the post-processor announces reaches the row.
    DraggableFrame *angle = row(window, "Settings", "Setting_FineCameraRotation");
    emit devices.effects.onFineCameraRotation(5, false);
    QCOMPARE(angle->findChild<QSlider *>()->value(), 5);
    QCOMPARE(valueText(angle), QString("2.5\u00b0"));
}

// What the bus (or the command line) writes shows at once in the open window's rows, and
// showing it writes nothing back.
void tst_MainWidget::busWritesShowInTheOpenWindow()
{
    Devices devices;
    BaseSettings *settings = app()->setMgr();
    MainWidget window(devices.controllers(), nullptr);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QList<bool> startAtLogin;
    ControlService::Components components;
    components.settings = settings;
    components.effects = [&devices] { return &devices.effects; };
    components.light = [] { return nullptr; };
    components.window = [&window] { return &window; };
    components.cameraInUse = [] { return false; };
    components.showWindow = [] {};
    components.quit = [] {};
    components.startAtLogin = [&startAtLogin](bool on) { startAtLogin.append(on); };
    components.version = "v";
    ControlService service(components);

    QWidget *general = row(window, "Settings", "Setting_Settings");
    QWidget *logo = row(window, "Overlays", "Setting_Logo");
    QWidget *text = row(window, "Overlays", "Setting_Text");
    QVERIFY(general && logo && text);
    const struct
    {
        const char *property;
        QVariant value;
        std::function<QVariant()> shown;
    } writes[] = {
        { "LightFollowsCamera", true, [&] { return toggleTitled(general, "Light follows the camera")->isChecked(); } },
        { "MirrorPreview", true, [&] { return toggleTitled(general, "Mirror preview")->isChecked(); } },
        { "LowPowerMode", true, [&] { return toggleTitled(general, "Low power mode")->isChecked(); } },
        { "StartAtLogin", false, [&] { return toggleTitled(general, "Start at login")->isChecked(); } },
        { "LogoOverlay", true, [&] { return toggleTitled(logo, "Show")->isChecked(); } },
        { "TextOverlay", true, [&] { return toggleTitled(text, "Show")->isChecked(); } },
        { "TextLine1", "Back at 3", [&] { return text->findChildren<QLineEdit *>().value(0)->text(); } },
        { "TextLine2", "Lunch", [&] { return text->findChildren<QLineEdit *>().value(1)->text(); } },
        { "BackgroundBlur", 60,
          [&] { return row(window, "Camera", "Setting_BackgroundBlur")->findChild<QSlider *>()->value(); } },
    };
    for (const auto &write : writes) {
        QVERIFY2(write.shown() != write.value, write.property);
        QSignalSpy stored(settings, &BaseSettings::changed);
        QVERIFY2(!service.write(write.property, write.value).failed(), write.property);
        QCOMPARE(write.shown(), write.value);
        // One write, and the rows showing it wrote nothing.
        QCOMPARE(stored.size(), 1);
    }
    QCOMPARE(startAtLogin, QList<bool>{false});
    QCOMPARE(valueText(row(window, "Camera", "Setting_BackgroundBlur")), QString("60%"));

    // The user's own changes still go to the store.
    toggleTitled(general, "Mirror preview")->click();
    QCOMPARE(settings->getSubSetting(BaseSettings::General, BaseSettings::FlipHorizontal).toBool(), false);
    QLineEdit *line1 = text->findChildren<QLineEdit *>().value(0);
    line1->setFocus();
    QTest::keyClicks(line1, "0");
    QCOMPARE(settings->getSubSetting(BaseSettings::TextOverlay, BaseSettings::TextLine1).toString(),
             QString("Back at 30"));
    QCOMPARE(line1->text(), QString("Back at 30"));
    window.hide();
    for (const char *property : { "LightFollowsCamera", "LowPowerMode", "LogoOverlay", "TextOverlay" })
        QVERIFY(!service.write(property, false).failed());
    QVERIFY(!service.write("StartAtLogin", true).failed());
    QVERIFY(!service.write("BackgroundBlur", 0).failed());
}

void tst_MainWidget::cameraRowsFollowTheCamera()
{
    Devices devices;
    MainWidget window(devices.controllers(), nullptr);
    DraggableFrame *brightness = row(window, "Sliders", "Setting_Brightness");
    QVERIFY(brightness);
    QSlider *slider = brightness->findChild<QSlider *>();
    // Without a running camera there is nothing to adjust.
    QVERIFY(!slider->isEnabled());
    QVERIFY(!brightness->findChild<QCheckBox *>("toggle_button")->isEnabled());

    const QStringList cameras = CameraGrabber::getDevicesList();
    const int index = int(cameras.indexOf(QRegularExpression("Talvento Camera.*")));
    QVERIFY2(index >= 0, qPrintable(cameras.join(", ")));
    QVERIFY(devices.camera.startCamera(640, 360, index, cameras[index]));
    window.updateAllPages();
    QVERIFY(slider->isEnabled());

    CameraSetting before;
    QVERIFY(devices.camera.getBrightness(before));
    const bool toTop = before.value != before.maximum;
    const int wanted = int(toTop ? before.maximum : before.minimum);
    slider->setValue(wanted);
    CameraSetting after;
    QVERIFY(devices.camera.getBrightness(after));
    QCOMPARE(after.value, int64_t(wanted));
    QCOMPARE(valueText(brightness), QString(toTop ? "100%" : "0%"));

    // Home voltage shows its list entries.
    DraggableFrame *powerLine = row(window, "Settings", "Setting_PowerLine");
    powerLine->findChild<QSlider *>()->setValue(2);
    QCOMPARE(valueText(powerLine), QString("110v"));

    // Reset hands a setting without an automatic mode back to its default.
    window.resetAllSettings();
    QVERIFY(!brightness->findChild<QCheckBox *>("toggle_button")->isChecked());
    QVERIFY(!slider->isEnabled());
    QVERIFY(devices.camera.getBrightness(after));
    QCOMPARE(after.value, before.defaultValue);
    QVERIFY2(valueText(brightness).startsWith("Default: "), qPrintable(valueText(brightness)));
}

// Showing the window opens the virtual camera for the preview, hiding it
// stops the camera, and low power mode pauses the preview while it is on. The physical camera
// behind the virtual one runs only while the preview reads it: a paused preview is no reader.
void tst_MainWidget::previewFollowsVisibilityAndLowPower()
{
    PreviewWindow preview;
    QVERIFY(preview.started);
    auto &[settings, devices, feed, started, window] = preview;
    auto *chooser = window.findChild<QComboBox *>();
    QVERIFY(chooser->count() >= 2);
    QVERIFY(chooser->itemText(1).contains("Talvento Control"));

    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(devices.camera.isRunning(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(devices.camera.isPreviewing(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(feed.clientsConnected() && feed.isGrabberRunning(), 10000);

    settings->setSubSetting(BaseSettings::General, BaseSettings::LowPowerMode, true);
    QTRY_VERIFY_WITH_TIMEOUT(!devices.camera.isPreviewing(), 10000);
    QVERIFY(devices.camera.isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(!feed.clientsConnected() && !feed.isGrabberRunning(), 10000);
    {
        // Another application reads meanwhile (this test's process stands in for it): it is the
        // one reader, and it counts as one.
        SharedFrameRing viewer(SharedFrameRing::Role::Reader);
        QVERIFY(viewer.registerClient());
        QTRY_VERIFY_WITH_TIMEOUT(feed.otherReadersConnected() && feed.isGrabberRunning(), 10000);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!feed.clientsConnected() && !feed.isGrabberRunning(), 10000);
    settings->setSubSetting(BaseSettings::General, BaseSettings::LowPowerMode, false);
    QTRY_VERIFY_WITH_TIMEOUT(devices.camera.isPreviewing(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(feed.clientsConnected() && feed.isGrabberRunning(), 10000);

    window.hide();
    QTRY_VERIFY_WITH_TIMEOUT(!devices.camera.isRunning(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!feed.clientsConnected() && !feed.isGrabberRunning(), 10000);
    // Nothing animates behind the hidden window: the waiting animation it showed while the
    // camera went away has stopped.
    const QList<QMovie *> movies = window.findChildren<QMovie *>();
    QVERIFY(!movies.isEmpty());
    for (QMovie *movie : movies)
        QVERIFY(movie->state() != QMovie::Running);
}

// The window's preview reads the virtual camera, so the feed runs for it; yet only a reader of
// another application counts as the camera being in use (what the light follows).
void tst_MainWidget::previewIsNoOtherReader()
{
    Devices devices;
    BaseSettings *settings = app()->setMgr();
    settings->setSubSetting(BaseSettings::General, BaseSettings::LowPowerMode, false);
    VCam feed(settings, nullptr);
    QSignalSpy others(&feed, &VCam::onOtherReadersChanged);
    QVERIFY(feed.start());
    MainWidget window(devices.controllers(), nullptr);
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(devices.camera.isPreviewing() && window.previewStockImage().isEmpty(), 10000);

    {
        // Another application; this test's process stands in for it.
        SharedFrameRing viewer(SharedFrameRing::Role::Reader);
        QVERIFY(viewer.isValid());
        QVERIFY(viewer.registerClient());
        QTRY_VERIFY_WITH_TIMEOUT(feed.otherReadersConnected(), 10000);
        QCOMPARE(others.count(), 1);
        QCOMPARE(others.at(0).at(0).toBool(), true);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!feed.otherReadersConnected(), 10000);
    // The check that saw the viewer go still counted the preview as a client.
    QVERIFY(feed.clientsConnected());
    QVERIFY(feed.isGrabberRunning());
    QVERIFY(devices.camera.isPreviewing());
    QCOMPARE(others.count(), 2);

    window.hide();
    QTRY_VERIFY_WITH_TIMEOUT(!feed.clientsConnected(), 10000);
    QVERIFY(!feed.otherReadersConnected());
    QCOMPARE(others.count(), 2);
}

// The camera is unplugged while the preview and the virtual camera run: the grabber stops and
// the preview shows the camera-lost picture. Plugged back, pictures come again without a restart
// of anything, and the settings made before are on the camera again although it came back with
// its defaults. The times it took are printed.
void tst_MainWidget::unpluggedCameraRecovers()
{
    PreviewWindow preview;
    QVERIFY(preview.started);
    auto &[settings, devices, feed, started, window] = preview;
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(devices.camera.isPreviewing(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(window.previewStockImage().isEmpty(), 10000);
    QVERIFY(feed.isGrabberRunning());

    // Settings as the rows write them.
    CameraGrabber &camera = devices.camera;
    QVERIFY(camera.setBrightness(-20, false));
    QVERIFY(camera.setContrast(70, false));
    QVERIFY(camera.setSaturation(80, false));
    QVERIFY(camera.setWhiteBalance(3000, false));
    QVERIFY(camera.setExposure(500, false));
    QVERIFY(camera.setFocus(300, false));
    QVERIFY(camera.setPowerLine(2, false));

    setSimulatedProductCameraPlugged(false);
    QTRY_VERIFY_WITH_TIMEOUT(!camera.isRunning(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(window.previewStockImage(), QString("icon_camera"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!feed.isGrabberRunning(), 10000);

    QElapsedTimer clock;
    clock.start();
    setSimulatedProductCameraPlugged(true);
    QTRY_VERIFY_WITH_TIMEOUT(feed.isGrabberRunning(), 10000);
    const qint64 feedBack = clock.elapsed();
    QTRY_VERIFY_WITH_TIMEOUT(camera.isPreviewing() && window.previewStockImage().isEmpty(), 10000);
    const qint64 previewBack = clock.elapsed();
    const auto device = uvc::simulatedCamera();
    const uint8_t pu = SimulatedUVCCamera::TalventoCameraProProcessingUnitId;
    const std::pair<std::pair<uint8_t, uint8_t>, int64_t> stored[] = { { { pu, 2 }, -20 },
        { { pu, 3 }, 70 }, { { pu, 7 }, 80 }, { { pu, 10 }, 3000 }, { { pu, 11 }, 0 },
        { { 1, 4 }, 500 }, { { 1, 2 }, 1 }, { { 1, 6 }, 300 }, { { 1, 8 }, 0 }, { { pu, 5 }, 2 } };
    for (const auto &[control, value] : stored)
        QTRY_COMPARE_WITH_TIMEOUT(
            device->currentInteger(control.first, control.second), std::optional<int64_t>(value), 10000);
    qInfo() << "after replugging: the virtual camera captured again after" << feedBack
            << "ms, the preview showed pictures after" << previewBack << "ms, every setting was back after"
            << clock.elapsed() << "ms";
}

TALVENTO_GUI_TEST_MAIN(tst_MainWidget)
#include "tst_mainwidget.moc"
