#include "gui/mainwidget.h"

#include "app/app.h"
#include "gui/draggableframe.h"
#include "gui/fontfamilywidget.h"
#include "gui/gui.h"
#include "gui/renderframe.h"
#include "light/lightcontroller.h"
#include "audio/vmic.h"
#include "camera/cameragrabber.h"
#include "update/updatemanager.h"
#include "vcam/vcam.h"
#include "video/postprocessor.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QCursor>
#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QImageReader>
#include <QLabel>
#include <QMetaEnum>
#include <QMovie>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <QDateTime>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <cmath>

namespace {

App *app()
{
    return static_cast<App *>(qApp);
}

QString color(App::UIElement role)
{
    return app()->getColorStr(role);
}

QString pageName(MainWidget::Page page)
{
    return QString::fromLatin1(QMetaEnum::fromType<MainWidget::Page>().valueToKey(page));
}

constexpr int PreviewWidth = 320;
constexpr int PreviewHeight = 180;
// The grabber captures at twice the preview's size, sharp on high-density screens.
constexpr int CaptureWidth = 640;
constexpr int CaptureHeight = 360;
// A preview without a new picture for this long counts as stalled; a camera
// that is not running is reopened no more often than this.
constexpr qint64 PreviewPatienceMs = 5000;
// Room around the visible panel for its drop shadow.
constexpr int ShadowMargin = 30;
constexpr qreal ShadowBlur = 50;
constexpr QPointF ShadowOffset(0, 4);

// A transparent frame named `name` holding one row of widgets.
QHBoxLayout *createBar(QFrame *frame, const QString &name, const QMargins &margins, int spacing)
{
    frame->setObjectName(name);
    frame->setStyleSheet(QString("#%1 { background: transparent; } ").arg(name));
    frame->setContentsMargins(margins);
    auto *layout = new QHBoxLayout(frame);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

const QString LightPanelLink = "https://www.talvento.com/products/light-panel";

} // namespace

MainWidget::Controllers MainWidget::Controllers::fromApp()
{
    VCam *virtualCamera = app()->vCam();
    return {app()->litCtrl(), app()->vMic(), app()->camGbr(),
            virtualCamera ? virtualCamera->postProcessor() : nullptr};
}

MainWidget::MainWidget(QWidget *parent)
    : MainWidget(Controllers::fromApp(), parent)
{
}

MainWidget::MainWidget(Controllers controllers, QWidget *parent)
    : QWidget(parent)
    , m_controllers(controllers)
{
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setObjectName("MainWidget");
    setStyleSheet("#MainWidget { background: transparent; border: none; }");
    setWindowTitle(QApplication::applicationDisplayName());
    setFont(app()->getMainFont());

    if (CameraGrabber *camera = m_controllers.camera)
        connect(camera, &CameraGrabber::onNewFrameAvailable, this, &MainWidget::requestPreviewFrame);
    createUi();
    m_stack->setFocus();
    qDebug() << (focusWidget() == m_stack ? "Successfully set focus on main stack"
                                          : "Unable to set focus on main stack");
    auto *watchdog = new QTimer(this);
    connect(watchdog, &QTimer::timeout, this, &MainWidget::watchPreview);
    watchdog->start(1000);
}

MainWidget::~MainWidget()
{
    qDebug() << "MainWidget DCTOR!";
}

QList<QString> MainWidget::defaultOrder(Page page)
{
    switch (page) {
    case Sliders:
        return {"White Balance", "Skin Tone", "Brightness", "Saturation", "Exposure", "Backlight"};
    case Camera:
        return {"Zoom", "Background Blur", "Sharpness", "Contrast", "Focus"};
    case Light:
        return {"Temperature", "Brightness"};
    case Audio:
        return {"Mute", "Volume", "Denoise", "Bass", "Treble", "Compression"};
    case Overlays:
        return {"Logo", "Text"};
    case Settings:
        return {"Settings", "Rotation", "Angle", "Home Voltage", "App Information"};
    }
    return {};
}

int MainWidget::pageHeight(Page page)
{
    switch (page) {
    case Sliders:
        return 880;
    case Light:
        return 520;
    case Settings:
        return 910;
    default:
        return 780;
    }
}

// ---------------------------------------------------------------- window

void MainWidget::createUi()
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);

    auto *shadowLayer = new QFrame;
    shadowLayer->setObjectName("ShadowLayer");
    shadowLayer->setStyleSheet(QString("#ShadowLayer { background: %1; border:1px solid %2; border-radius: 8px 8px 8px "
                                       "8px; padding: 10px; margin-left: 30px; margin-right: 30px; margin-bottom: "
                                       "30px;}")
                                   .arg(color(App::WindowBackgroundTranslucent), color(App::PanelBackgroundTranslucent)));
    // Its drop shadow is painted by the window (paintEvent): a graphics effect
    // would blur the whole panel again with every preview frame.
    m_shadowLayer = shadowLayer;
    outer->addWidget(shadowLayer);

    auto *layout = new QVBoxLayout(shadowLayer);
    layout->setContentsMargins(0, 6, 0, 0);
    layout->setSpacing(4);

    m_preview = new RenderFrame;
    m_preview->setFixedSize(PreviewWidth, PreviewHeight);
    layout->addWidget(m_preview, 0, Qt::AlignHCenter);

    m_cameraChooser = new QComboBox;
    gui::setComboBoxStyle(m_cameraChooser, 360);
    m_cameraChooser->addItem(tr("Choose camera"));
    fillCameraChooser();
    layout->addWidget(m_cameraChooser, 0, Qt::AlignHCenter);

    layout->addWidget(createTabHeader());
    layout->addWidget(gui::getHorizontalSeparator());

    m_stack = new QStackedWidget;
    m_stack->setObjectName("_mainStack");
    m_stack->setStyleSheet("#_mainStack { background: transparent; }");
    m_stack->setFocusPolicy(Qt::StrongFocus);
    layout->addWidget(m_stack, 1);
    for (Page page : std::as_const(m_pages))
        addPage(createPage(page, pageHeight(page)));

    layout->addWidget(gui::getHorizontalSeparator());
    layout->addWidget(createFooter());

    // The visible panel is the preview plus 72 pixels wide; the window adds the
    // transparent room its shadow is drawn into.
    setFixedWidth(PreviewWidth + 72 + 2 * ShadowMargin);

    updateAllPages();
    connect(m_cameraChooser, &QComboBox::currentIndexChanged, this, [this] { restartCamera(); });
    if (m_cameraChooser->count() >= 2)
        m_cameraChooser->setCurrentIndex(1);
    setStockImage("spinner", false, 0.5f, tr("connecting to device..."));
}

void MainWidget::fillCameraChooser()
{
    if (!m_controllers.camera)
        return;
    // The preview shows what other applications get: the virtual camera.
    const QStringList devices = CameraGrabber::getDevicesList();
    for (int i = 0; i < devices.size(); ++i) {
        if (devices[i].contains(QLatin1String("Talvento Control"), Qt::CaseInsensitive))
            m_cameraChooser->addItem(devices[i], QVariantList{i, devices[i]});
    }
    if (m_cameraChooser->count() < 2) {
        // After construction, so that the box does not run inside it.
        QTimer::singleShot(0, this, [] {
            app()->showMessage(tr("Unable to find or open Talvento Control camera!"), "", tr("Ok"), "");
        });
    }
}

QWidget *MainWidget::createTabHeader()
{
    auto *header = new QFrame;
    QHBoxLayout *layout = createBar(header, "tabHeader", QMargins(10, 0, 12, 6), 12);
    layout->addStretch(1000);

    static const std::pair<Page, const char *> tabs[] = {
        {Sliders, "icon_colors"}, {Camera, "icon_camera"},   {Light, "icon_brightness"},
        {Audio, "icon_microphone"}, {Overlays, "icon_logo"}, {Settings, "icon_settings"},
    };
    // The Audio page exists only with the virtual audio device.
    VMic *microphone = m_controllers.microphone;
    const bool hasAudio = microphone && !microphone->getOutputDevice(false).isNull();

    m_tabs = new QButtonGroup(this);
    m_tabs->setExclusive(true);
    for (const auto &[page, icon] : tabs) {
        if (page == Audio && !hasAudio)
            continue;
        auto *button = new QPushButton;
        button->setCheckable(true);
        button->setToolTip(tr(qPrintable(pageName(page))));
        button->setCursor(Qt::PointingHandCursor);
        gui::setCheckableButtonIconStyle(button, 20, icon, color(App::PrimaryText), color(App::Accent), 10);
        m_tabs->addButton(button, int(m_pages.size()));
        layout->addWidget(button, 0, Qt::AlignCenter);
        m_pages.append(page);
    }
    layout->addStretch(1000);
    m_tabs->button(0)->setChecked(true);
    connect(m_tabs, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (!checked)
            return;
        m_stack->setCurrentIndex(id);
        adjustPageSize();
    });
    return header;
}

QWidget *MainWidget::createTransparentFrame()
{
    auto *frame = new QFrame;
    frame->setObjectName("settingsFrame");
    frame->setStyleSheet("#settingsFrame { background: transparent; border: none; }");
    return frame;
}

QWidget *MainWidget::createTransparentScrollFrame()
{
    auto *scroll = new QScrollArea;
    scroll->setObjectName("scrollArea");
    scroll->setStyleSheet("#scrollArea { background: transparent; border: none; }"
                          "#scrollArea > QWidget > QWidget { background: transparent; }");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    scroll->verticalScrollBar()->setStyleSheet(
        QString("QScrollBar:vertical { background: transparent; width: 8px; margin: 0; }"
                "QScrollBar::handle:vertical { background: %1; border-radius: 4px; min-height: 30px; }"
                "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
                "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }")
            .arg(color(App::SliderPart)));
    return scroll;
}

QWidget *MainWidget::createPage(Page page, int height)
{
    auto *container = new QWidget;
    auto *containerLayout = new QVBoxLayout(container);
    containerLayout->setContentsMargins(0, 0, 0, 0);
    auto *scroll = static_cast<QScrollArea *>(createTransparentScrollFrame());
    QWidget *frame = createTransparentFrame();
    auto *layout = new QVBoxLayout(frame);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setProperty("settings_name", pageName(page));
    layout->setProperty("settings_height", height);
    scroll->setWidget(frame);
    containerLayout->addWidget(scroll);
    return container;
}

void MainWidget::addPage(QWidget *page)
{
    const QString name = QString("page%1").arg(m_stack->count() + 1);
    page->setObjectName(name);
    page->setStyleSheet(QString("#%1 { background: transparent; border: none; } ").arg(name));
    m_stack->addWidget(page);
}

QWidget *MainWidget::createFooter()
{
    auto *footer = new QFrame;
    QHBoxLayout *layout = createBar(footer, "footerFrame", QMargins(15, 6, 15, 3), 14);
    layout->addStretch(1);
    for (const char *text : {"Quit", "Reset"}) {
        auto *button = new QPushButton(tr(text));
        button->setObjectName(QString(text).toLower() + "_button");
        button->setCursor(Qt::PointingHandCursor);
        gui::setTextButtonStyle(button, gui::gts(gui::TextSize::Normal), "500", "6px 22px 6px 22px",
                                color(App::ButtonText), color(App::ButtonBackground));
        layout->addWidget(button);
    }
    layout->addStretch(1);
    connect(footer->findChild<QPushButton *>("quit_button"), &QPushButton::clicked, app(), &App::shutdown);
    connect(footer->findChild<QPushButton *>("reset_button"), &QPushButton::clicked, this, [this] {
        if (app()->showMessage(tr("This action will reset all your settings.<br>Press Ok to confirm."), tr("Cancel"),
                               tr("Ok"), ""))
            resetAllSettings();
    });
    return footer;
}

// ---------------------------------------------------------------- pages

QVBoxLayout *MainWidget::pageLayout(Page page) const
{
    const QString name = pageName(page);
    for (int i = 0; i < m_stack->count(); ++i) {
        auto *frame = m_stack->widget(i)->findChild<QWidget *>("settingsFrame");
        if (frame && frame->layout() && frame->layout()->property("settings_name").toString() == name)
            return static_cast<QVBoxLayout *>(frame->layout());
    }
    return nullptr;
}

QWidget *MainWidget::currentPageScrollArea() const
{
    QWidget *page = m_stack->currentWidget();
    return page ? page->findChild<QScrollArea *>("scrollArea") : nullptr;
}

void MainWidget::updatePage(Page page, const QList<QString> &defaultOrder,
                            std::function<void(QVBoxLayout *, const QList<QString> &)> builder)
{
    QVBoxLayout *layout = pageLayout(page);
    if (!layout)
        return;
    QList<QString> order = app()->setMgr()->getValue(pageName(page), QStringList(defaultOrder)).toStringList();
    for (const QString &name : defaultOrder) {
        if (!order.contains(name))
            order.append(name);
    }
    const bool wasEmpty = layout->count() == 0;
    builder(layout, order);
    if (layout->count() == 0)
        addWarningFrame(layout, tr("This device doesn't seem to be compatible."));
    if (wasEmpty)
        layout->addStretch(1);
}

void MainWidget::buildRowsNamed(QVBoxLayout *layout, Page page, const QString &name)
{
    for (const SliderRow &row : sliderRows()) {
        if (row.page == page && row.name == name)
            buildSliderRow(layout, row);
    }
}

void MainWidget::updateSlidersPage()
{
    updatePage(Sliders, defaultOrder(Sliders), [this](QVBoxLayout *layout, const QList<QString> &order) {
        for (const QString &name : order)
            buildRowsNamed(layout, Sliders, name);
    });
}

void MainWidget::updateCameraPage()
{
    updatePage(Camera, defaultOrder(Camera), [this](QVBoxLayout *layout, const QList<QString> &order) {
        for (const QString &name : order)
            buildRowsNamed(layout, Camera, name);
    });
}

void MainWidget::updateLightPage()
{
    updatePage(Light, defaultOrder(Light), [this](QVBoxLayout *layout, const QList<QString> &order) {
        for (const QString &name : order)
            buildRowsNamed(layout, Light, name);
        LightController *light = m_controllers.light;
        if (!light)
            return;
        if (!light->isConnected()) {
            addWarningFrame(layout, tr("This feature requires a charged ") + "<br><br>"
                                        + QString("<b><u><a href=\"%1\">%2</a></u></b>")
                                              .arg(LightPanelLink, tr("Talvento Light Panel")));
        }
        if (!m_lightFollowed) {
            m_lightFollowed = true;
            connect(light, &LightController::onStatusChanged, this, [this](bool) { updateLightPage(); });
        }
        showLightRows(layout, light->isConnected());
    });
}

void MainWidget::showLightRows(QVBoxLayout *layout, bool connected)
{
    QWidget *page = layout->parentWidget();
    for (const char *name : {"Setting_Temperature", "Setting_Brightness"}) {
        if (auto *row = findRow(layout, name))
            row->setVisible(connected);
    }
    if (auto *warning = page->findChild<QFrame *>("warning_frame"))
        warning->parentWidget()->setVisible(!connected);
}

void MainWidget::updateAudioPage()
{
    updatePage(Audio, defaultOrder(Audio), [this](QVBoxLayout *layout, const QList<QString> &order) {
        for (const QString &name : order) {
            addVolumeSettingLayout(layout, name);
            addAudioSettingLayout(layout, name);
        }
    });
}

void MainWidget::updateOverlaysPage()
{
    updatePage(Overlays, defaultOrder(Overlays), [this](QVBoxLayout *layout, const QList<QString> &order) {
        for (const QString &name : order) {
            addLogoSettingLayout(layout, name);
            addTextSettingLayout(layout, name);
        }
    });
}

void MainWidget::updateSettingsPage()
{
    updatePage(Settings, defaultOrder(Settings), [this](QVBoxLayout *layout, const QList<QString> &order) {
        for (const QString &name : order) {
            addSettingLayout(layout, name);
            buildRowsNamed(layout, Settings, name);
            addAppInfoAndUpdateLayout(layout, name);
        }
    });
}

void MainWidget::updateAllPages()
{
    updateSlidersPage();
    updateCameraPage();
    updateLightPage();
    updateAudioPage();
    updateOverlaysPage();
    updateSettingsPage();
}

DraggableFrame *MainWidget::findRow(QVBoxLayout *layout, const QString &objectName) const
{
    return layout->parentWidget()->findChild<DraggableFrame *>(objectName, Qt::FindDirectChildrenOnly);
}

void MainWidget::followDrops(QVBoxLayout *layout, DraggableFrame *frame)
{
    connect(frame, &DraggableFrame::onFrameDropped, this,
            [this, layout](DraggableFrame *dragged, DraggableFrame *target) {
                reorderSettings(layout, dragged, target);
            });
}

DraggableFrame *MainWidget::createRow(QVBoxLayout *layout, const QString &icon, const QString &name,
                                      const QString &objectName)
{
    DraggableFrame *frame = gui::createSettingLayoutEx(layout, icon, name);
    frame->setObjectName(objectName);
    followDrops(layout, frame);
    return frame;
}

void MainWidget::reorderSettings(QVBoxLayout *layout, DraggableFrame *dragged, DraggableFrame *target)
{
    const int index = layout->indexOf(target);
    if (index >= 0 && layout->indexOf(dragged) >= 0) {
        layout->removeWidget(dragged);
        layout->insertWidget(index, dragged);
    }
    QStringList order;
    for (int i = 0; i < layout->count(); ++i) {
        if (auto *row = qobject_cast<DraggableFrame *>(layout->itemAt(i)->widget()))
            order.append(row->property("setting_name").toString());
    }
    const QString key = layout->property("settings_name").toString();
    BaseSettings *settings = app()->setMgr();
    settings->setValue(key, order);
    settings->sync();
    qDebug() << "saving settings order ofr" << key << ": " << order;
}

void MainWidget::addWarningFrame(QVBoxLayout *layout, const QString &text)
{
    QWidget *owner = layout->parentWidget();
    if (owner->findChild<QFrame *>("warning_frame") || owner->findChild<QLabel *>("warning_frame_text"))
        return;
    auto *frame = new QFrame;
    frame->setObjectName("warning_frame");
    frame->setStyleSheet(QString("#%1 {background: %2; border: none; border-radius: 8px; }")
                             .arg(frame->objectName(), color(App::PanelBackground)));
    auto *inner = new QVBoxLayout(frame);
    inner->setContentsMargins(30, 20, 30, 20);
    auto *label = new QLabel(text);
    label->setObjectName("warning_frame_text");
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignCenter);
    label->setTextFormat(Qt::RichText);
    label->setOpenExternalLinks(true);
    gui::setTextEditTitleStyle(label, color(App::PrimaryText), gui::gts(gui::TextSize::Normal), "500",
                               "0px solid gray", "transparent");
    inner->addWidget(label);

    auto *holder = new QWidget;
    auto *holderLayout = new QVBoxLayout(holder);
    holderLayout->setContentsMargins(8, 8, 8, 8);
    holderLayout->addWidget(frame);
    frame->setParent(holder);
    layout->insertWidget(0, holder);
    // The holder is what the page shows and hides with the warning.
    holder->setObjectName("warning_holder");
    connect(frame, &QObject::destroyed, holder, &QObject::deleteLater);
}

void MainWidget::resetAllSettings()
{
    for (Page page : std::as_const(m_pages)) {
        QVBoxLayout *layout = pageLayout(page);
        if (!layout)
            continue;
        for (int i = 0; i < layout->count(); ++i) {
            auto *row = qobject_cast<DraggableFrame *>(layout->itemAt(i)->widget());
            if (!row)
                continue;
            for (QCheckBox *toggle : row->findChildren<QCheckBox *>("toggle_button")) {
                // A row with several toggles gives each its own default.
                QVariant value = toggle->property("settings_default_check_value");
                if (!value.isValid())
                    value = row->property("settings_default_check_value");
                toggle->setChecked(value.isValid() && value.toBool());
            }
        }
    }
}

// ---------------------------------------------------------------- slider rows

QList<MainWidget::SliderRow> MainWidget::sliderRows() const
{
    QList<SliderRow> rows;
    // One row of a controller whose getter, setter and change signal share the
    // shape every controller uses.
    auto add = [&rows](auto *controller, Page page, const char *name, const char *objectName, const char *icon,
                       const char *kind, auto get, auto set, auto signal, std::function<bool()> live) {
        rows.append({page, name, objectName, icon, kind,
                     [controller, get](CameraSetting &setting) { return (controller->*get)(setting); },
                     [controller, set](long value, bool autoMode) { return (controller->*set)(value, autoMode); },
                     [controller, signal](DraggableFrame *frame) {
                         connect(controller, signal, frame, &DraggableFrame::onValueHasExternallyChanged);
                     },
                     [controller, signal](long value, bool autoMode) { emit(controller->*signal)(value, autoMode); },
                     std::move(live)});
    };

    if (CameraGrabber *camera = m_controllers.camera) {
        using C = CameraGrabber;
        auto running = [camera] { return camera->isRunning(); };
        add(camera, Sliders, "White Balance", "Setting_WhiteBalance", "icon_white_balance", "TEMP",
            &C::getWhiteBalance, &C::setWhiteBalance, &C::onWhiteBalance, running);
        add(camera, Sliders, "Brightness", "Setting_Brightness", "icon_brightness", "PERC", &C::getBrightness,
            &C::setBrightness, &C::onBrightness, running);
        add(camera, Sliders, "Saturation", "Setting_Saturation", "icon_saturation", "PERC", &C::getSaturation,
            &C::setSaturation, &C::onSaturation, running);
        add(camera, Sliders, "Exposure", "Setting_Exposure", "icon_exposure", "PERC", &C::getExposure,
            &C::setExposure, &C::onExposure, running);
        add(camera, Sliders, "Backlight", "Setting_BacklightCompensation", "icon_backlight", "[Off, On]",
            &C::getBacklightCompensation, &C::setBacklightCompensation, &C::onBacklightCompensation, running);
        add(camera, Camera, "Zoom", "Setting_Zoom", "icon_zoom", "PERC", &C::getZoom, &C::setZoom, &C::onZoom,
            running);
        add(camera, Camera, "Sharpness", "Setting_Sharpness", "icon_sharpness", "PERC", &C::getSharpness,
            &C::setSharpness, &C::onSharpness, running);
        add(camera, Camera, "Contrast", "Setting_Contrast", "icon_contrast", "PERC", &C::getContrast,
            &C::setContrast, &C::onContrast, running);
        add(camera, Camera, "Focus", "Setting_Focus", "icon_focus", "", &C::getFocus, &C::setFocus, &C::onFocus,
            running);
        add(camera, Settings, "Home Voltage", "Setting_PowerLine", "icon_power_line", "[Auto, 220v, 110v]",
            &C::getPowerLine, &C::setPowerLine, &C::onPowerLine, running);
    }
    if (PostProcessor *effects = m_controllers.effects) {
        using P = PostProcessor;
        // The effects apply to the virtual camera whether or not the preview runs.
        auto always = [] { return true; };
        add(effects, Sliders, "Skin Tone", "Setting_SkinTone", "icon_skin", "SKIN", &P::getSkinTone,
            &P::setSkinTone, &P::onSkinTone, always);
        add(effects, Camera, "Background Blur", "Setting_BackgroundBlur", "icon_blur", "PERC",
            &P::getBackgroundBlur, &P::setBackgroundBlur, &P::onBackgroundBlur, always);
        add(effects, Settings, "Rotation", "Setting_CameraRotation", "icon_rotation", "ROT", &P::getCameraRotation,
            &P::setCameraRotation, &P::onCameraRotation, always);
        add(effects, Settings, "Angle", "Setting_FineCameraRotation", "icon_fine_rotation", "DEG",
            &P::getFineCameraRotation, &P::setFineCameraRotation, &P::onFineCameraRotation, always);
    }
    if (LightController *light = m_controllers.light) {
        using L = LightController;
        auto connected = [light] { return light->isConnected(); };
        add(light, Light, "Temperature", "Setting_Temperature", "icon_white_balance", "TEMP", &L::getTemperature,
            &L::setTemperature, &L::onTemperature, connected);
        add(light, Light, "Brightness", "Setting_Brightness", "icon_brightness", "PERC", &L::getBrightness,
            &L::setBrightness, &L::onBrightness, connected);
    }
    return rows;
}

void MainWidget::buildSliderRow(QVBoxLayout *layout, const SliderRow &row)
{
    auto record = std::make_shared<CameraSetting>();
    const bool ok = row.get(*record);
    DraggableFrame *frame = findRow(layout, row.objectName);
    if (!frame) {
        qDebug() << "Creating" << row.name << record->value << record->step << record->maximum << record->minimum
                 << record->defaultValue << record->autoAvailable << record->autoEnabled;
        const int style = row.kind == "TEMP" ? gui::HeatSlider : row.kind == "SKIN" ? gui::SkinSlider : gui::PlainSlider;
        frame = gui::createSettingLayout(
            layout, row.icon, row.name, style, record->autoAvailable, record->autoEnabled, long(record->minimum),
            long(record->maximum), long(record->defaultValue), long(record->step), long(record->value),
            [this, row, record](QCheckBox *toggle, QSlider *slider, QLabel *label) {
                onSliderRowChanged(row, record, toggle, slider, label);
            });
        frame->setObjectName(row.objectName);
        followDrops(layout, frame);
        row.follow(frame);
        // The handler keeps the record it was created with; refreshes update it.
        m_records.insert(frame, record);
    } else if (auto stored = m_records.value(frame)) {
        *stored = *record;
    }
    const bool live = ok && row.live();
    gui::enableChildren(frame, live);
    if (live)
        row.announce(long(record->value), record->autoEnabled);
}

void MainWidget::onSliderRowChanged(const SliderRow &row, const std::shared_ptr<CameraSetting> &record,
                                    QCheckBox *toggle, QSlider *slider, QLabel *valueLabel)
{
    const bool wasEnabled = slider->isEnabled();
    slider->setEnabled(toggle->isEnabled() && toggle->isChecked());
    if (wasEnabled && !slider->isEnabled() && !record->autoAvailable) {
        const QSignalBlocker block(slider);
        slider->setValue(int(record->defaultValue));
    }
    const bool manual = !toggle->isEnabled() || toggle->isChecked();
    const bool autoMode = manual ? false : record->autoAvailable;
    if (!row.set(slider->value(), autoMode)) {
        qDebug() << "Error setting " + QString(row.name).remove(' ');
        valueLabel->setText(tr("Auto"));
        return;
    }
    if (!manual && record->autoAvailable) {
        valueLabel->setText(tr("Auto"));
        return;
    }
    QString text = gui::valueText(row.kind, slider->value(), slider->minimum(), slider->maximum());
    if (!manual)
        text = QString("Default%1%2").arg(text.isEmpty() ? "" : ": ", text);
    valueLabel->setText(text);
}

// ---------------------------------------------------------------- audio

void MainWidget::addVolumeSettingLayout(QVBoxLayout *layout, const QString &name)
{
    VMic *microphone = m_controllers.microphone;
    if (name != "Volume" || !microphone)
        return;
    CameraSetting volume;
    CameraSetting mute;
    const bool ok = microphone->getVolume(volume) & microphone->getMute(mute);
    DraggableFrame *frame = findRow(layout, "Setting_Volume");
    if (!frame) {
        // The switch is on while the microphone is not muted.
        auto unmuted = std::make_shared<bool>(!mute.autoEnabled);
        frame = gui::createSettingLayout(
            layout, "icon_microphone", name, gui::PlainSlider, true, mute.autoEnabled, long(volume.minimum),
            long(volume.maximum), long(volume.defaultValue), long(volume.step), long(volume.value),
            [microphone, unmuted](QCheckBox *toggle, QSlider *slider, QLabel *label) {
                slider->setEnabled(toggle->isEnabled() && toggle->isChecked());
                if (toggle->isChecked() != *unmuted) {
                    *unmuted = toggle->isChecked();
                    microphone->setMute(0, !*unmuted);
                } else {
                    microphone->setVolume(slider->value(), false);
                }
                label->setText(*unmuted ? QString("%1%").arg(slider->value()) : tr("Muted"));
            });
        frame->setObjectName("Setting_Volume");
        frame->setProperty("settings_default_check_value", true);
        auto *toggle = frame->findChild<QCheckBox *>("toggle_button");
        gui::setButtonIconStyle(toggle, 30, "icon_volume", "icon_mute", 5, "transparent", "transparent");
        followDrops(layout, frame);
    }
    gui::enableChildren(frame, ok);
    auto *toggle = frame->findChild<QCheckBox *>("toggle_button");
    auto *slider = frame->findChild<QSlider *>();
    const QSignalBlocker blockToggle(toggle);
    const QSignalBlocker blockSlider(slider);
    toggle->setChecked(!mute.autoEnabled);
    slider->setValue(int(volume.value));
    slider->setEnabled(ok && toggle->isChecked());
    frame->findChild<QLabel *>("value_label")
        ->setText(toggle->isChecked() ? QString("%1%").arg(volume.value) : tr("Muted"));
}

void MainWidget::addAudioSettingLayout(QVBoxLayout *layout, const QString &name)
{
    struct Filter
    {
        const char *name;
        BaseSettings::Settings group;
        const char *icon;
    };
    static const Filter filters[] = {
        {"Denoise", BaseSettings::DSPRNN, "icon_denoise"},     {"AGC", BaseSettings::DSPAGC, "icon_agc"},
        {"Bass", BaseSettings::DSPBass, "icon_bass"},          {"Treble", BaseSettings::DSPTreble, "icon_treble"},
        {"Compression", BaseSettings::DSPCompressor, "icon_compression"},
    };
    for (const Filter &filter : filters) {
        const QString objectName = QString("Setting_") + filter.name;
        if (name != filter.name || findRow(layout, objectName))
            continue;
        BaseSettings *settings = app()->setMgr();
        const BaseSettings::Settings group = filter.group;
        const bool enabled = settings->getSubSetting(group, BaseSettings::Enabled).toBool();
        const int strength = settings->getSubSetting(group, BaseSettings::DSP_Strength).toInt();
        // The switch turns the filter on; the slider sets its strength.
        DraggableFrame *frame = gui::createSettingLayout(
            layout, filter.icon, name, gui::PlainSlider, true, !enabled, 0, 100, strength, 1, strength,
            [group](QCheckBox *toggle, QSlider *slider, QLabel *label) {
                BaseSettings *store = app()->setMgr();
                slider->setEnabled(toggle->isChecked());
                if (store->getSubSetting(group, BaseSettings::Enabled).toBool() != toggle->isChecked())
                    store->setSubSetting(group, BaseSettings::Enabled, toggle->isChecked());
                if (store->getSubSetting(group, BaseSettings::DSP_Strength).toInt() != slider->value())
                    store->setSubSetting(group, BaseSettings::DSP_Strength, slider->value());
                label->setText(QString("%1%").arg(slider->value()));
            });
        frame->setObjectName(objectName);
        if (group == BaseSettings::DSPAGC)
            frame->setProperty("settings_default_check_value", true);
        frame->findChild<QSlider *>()->setEnabled(enabled);
        frame->findChild<QLabel *>("value_label")->setText(QString("%1%").arg(strength));
        followDrops(layout, frame);
    }
}

// ---------------------------------------------------------------- general settings

void MainWidget::addSettingLayout(QVBoxLayout *layout, const QString &name)
{
    if (name != "Settings" || findRow(layout, "Setting_Settings"))
        return;
    DraggableFrame *frame = createRow(layout, "icon_settings", name, "Setting_Settings");
    auto *lines = static_cast<QVBoxLayout *>(frame->layout());
    BaseSettings *settings = app()->setMgr();

    struct Toggle
    {
        const char *title;
        BaseSettings::SubSettings key;
        bool defaultChecked;
    };
    static const Toggle toggles[] = {
        {"Start at login", BaseSettings::StartAtLogin, true},
        {"Mirror preview", BaseSettings::FlipHorizontal, false},
        {"Low power mode", BaseSettings::LowPowerMode, false},
    };
    QList<QLabel *> titles;
    for (const Toggle &toggle : toggles) {
        QCheckBox *box = nullptr;
        const BaseSettings::SubSettings key = toggle.key;
        QWidget *line = gui::createToggleSetting(
            tr(toggle.title), settings->getSubSetting(BaseSettings::General, key).toBool(),
            [this, key](bool checked) {
                app()->setMgr()->setSubSetting(BaseSettings::General, key, checked);
                if (key == BaseSettings::StartAtLogin)
                    app()->setupAppToLauncAtStartup(checked);
                if (key == BaseSettings::FlipHorizontal)
                    m_preview->update();
            },
            60, &box);
        box->setProperty("settings_default_check_value", toggle.defaultChecked);
        line->setContentsMargins(8, 0, 8, 0);
        lines->addWidget(line);
        titles.append(line->findChild<QLabel *>());
    }
    // The switches line up behind the longest title.
    int widest = 0;
    for (QLabel *title : std::as_const(titles)) {
        title->ensurePolished(); // the style sheet sets the font
        widest = std::max(widest, title->sizeHint().width());
    }
    for (QLabel *title : std::as_const(titles))
        title->setMinimumWidth(widest);
}

void MainWidget::addAppInfoAndUpdateLayout(QVBoxLayout *layout, const QString &name)
{
    if (name != "App Information" || findRow(layout, "Setting_AppInformation"))
        return;
    DraggableFrame *frame = createRow(layout, "icon_info", name, "Setting_AppInformation");
    auto *lines = static_cast<QVBoxLayout *>(frame->layout());

    auto *box = new QFrame;
    box->setObjectName("app_info_frame");
    box->setStyleSheet(QString("#app_info_frame { background: %1; border: none; border-radius: 8px; }")
                           .arg(color(App::InfoBackground)));
    auto *boxLines = new QVBoxLayout(box);
    boxLines->setContentsMargins(12, 10, 12, 10);
    boxLines->setSpacing(10);
    auto *boxLayout = new QHBoxLayout;
    boxLayout->setSpacing(12);
    boxLines->addLayout(boxLayout);
    auto *logo = new QLabel;
    gui::setIconLabel(logo, 40, "app_blue", false);
    boxLayout->addWidget(logo);
    auto *info = new QLabel(QString("<b>%1</b><br>%2 - Public Beta")
                                .arg(QApplication::applicationDisplayName(), QApplication::applicationVersion()));
    info->setObjectName("app_info_label");
    info->setTextFormat(Qt::RichText);
    gui::setTextEditTitleStyle(info, color(App::InfoText), gui::gts(gui::TextSize::Normal), "400",
                               "0px solid gray", "transparent");
    boxLayout->addWidget(info, 1);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    auto *check = new QPushButton(tr("Check for updates"));
    auto *uninstall = new QPushButton(tr("Uninstall"));
    for (QPushButton *button : {check, uninstall}) {
        button->setCursor(Qt::PointingHandCursor);
        // The info box has the buttons' usual colour; these take the window's.
        gui::setTextButtonStyle(button, gui::gts(gui::TextSize::Small), "500", "5px 10px 5px 10px",
                                color(App::ButtonText), color(App::WindowBackground));
        buttons->addWidget(button);
    }
    check->setObjectName("check_update_button");
    uninstall->setObjectName("uninstall_button");
    boxLines->addLayout(buttons);
    connect(check, &QPushButton::clicked, this, [] {
        UpdateManager *updates = app()->updateMgr();
        if (updates && !updates->checkForUpdate(true))
            app()->showMessage(tr("There is already an update check in progress."), "", tr("Ok"), "");
    });
    connect(uninstall, &QPushButton::clicked, this, [] {
        if (!app()->showMessage(tr("Are you sure you want to completely uninstall the application?"), tr("No"),
                                tr("Yes"), ""))
            return;
        UpdateManager *updates = app()->updateMgr();
        if (!updates || !updates->uninstall()) {
            app()->showMessage(tr("There was an error while trying to uninstall the application.\nPlease try to "
                                  "remove it manually."),
                               "", tr("Ok"), "");
        }
    });
    auto busy = [check](const QString &text) {
        check->setText(text);
        check->setEnabled(false);
    };
    auto idle = [check] {
        check->setText(tr("Check for update"));
        check->setEnabled(true);
    };
    connect(app(), &App::onUpdaterStarted, check, [busy] { busy(tr("Checking for update...")); });
    connect(app(), &App::onDownloaderStarted, check, [busy] { busy(tr("Downloading update") + " (0%)..."); });
    connect(app(), &App::onDownloaderProgress, check, [busy](float percent) {
        busy(tr("Downloading update") + QString(" (%1%)...").arg(int(percent)));
    });
    connect(app(), &App::onUpdaterFinished, check, idle);
    connect(app(), &App::onDownloaderFinished, check, idle);

    auto *holder = new QWidget;
    auto *holderLayout = new QVBoxLayout(holder);
    holderLayout->setContentsMargins(8, 4, 8, 4);
    holderLayout->addWidget(box);
    lines->addWidget(holder);
}

// ---------------------------------------------------------------- overlays

QWidget *MainWidget::createOverlayButton(const QString &icon, const QString &tip)
{
    auto *button = new QPushButton;
    button->setToolTip(tip);
    button->setCursor(Qt::PointingHandCursor);
    gui::setButtonIconStyle(button, 18, icon, 3, color(App::Separator), "transparent");
    return button;
}

QWidget *MainWidget::createColorButton(BaseSettings::Settings group, BaseSettings::SubSettings key,
                                       const QString &icon, const QString &tip)
{
    auto *button = static_cast<QPushButton *>(createOverlayButton(icon, tip));
    // The border shows the colour the button picks.
    auto paint = [button, icon](const QColor &value) {
        gui::setButtonIconStyle(button, 18, icon, 3, value.name(QColor::HexRgb), "transparent");
    };
    paint(app()->setMgr()->getSubSetting(group, key).value<QColor>());
    connect(button, &QPushButton::clicked, this, [this, group, key, paint] {
        const QColor current = app()->setMgr()->getSubSetting(group, key).value<QColor>();
        const QColor chosen = QColorDialog::getColor(current, this, tr("Choose a color"));
        if (!chosen.isValid())
            return;
        app()->setMgr()->setSubSetting(group, key, chosen);
        paint(chosen);
    });
    return button;
}

void MainWidget::addCommonOverlaySettings(QVBoxLayout *layout, BaseSettings::Settings group,
                                          const QStringList &keys)
{
    BaseSettings *settings = app()->setMgr();
    auto addLine = [layout](QWidget *line) {
        line->setContentsMargins(8, 0, 8, 0);
        layout->addWidget(line);
    };
    if (keys.contains("toggle")) {
        addLine(gui::createToggleSetting(
            tr("Show"), settings->getSubSetting(group, BaseSettings::Enabled).toBool(),
            [group](bool checked) { app()->setMgr()->setSubSetting(group, BaseSettings::Enabled, checked); }, 60));
    }
    struct Slider
    {
        const char *key;
        const char *title;
        BaseSettings::SubSettings entry;
        int minimum;
    };
    static const Slider sliders[] = {
        {"size", "Size", BaseSettings::Size, 1},
        {"opacity", "Opacity", BaseSettings::Opacity, 1},
        {"horizontal", "Horizontal", BaseSettings::MarginX, 0},
        {"vertical", "Vertical", BaseSettings::MarginY, 0},
    };
    for (const Slider &slider : sliders) {
        if (!keys.contains(slider.key))
            continue;
        addLine(fractionSlider(tr(slider.title), group, slider.entry, slider.minimum));
    }
}

QWidget *MainWidget::fractionSlider(const QString &title, BaseSettings::Settings group,
                                    BaseSettings::SubSettings entry, int minimum)
{
    const double fraction = app()->setMgr()->getSubSetting(group, entry).toDouble();
    return gui::createSliderSetting(
        title, {minimum, 100}, int(std::trunc(fraction * 100)),
        [group, entry](int value, bool changedByUser) {
            if (changedByUser)
                app()->setMgr()->setSubSetting(group, entry, float(value) / 100.0f);
            return QString("%1%").arg(value);
        },
        60, 35);
}

void MainWidget::addLogoSettingLayout(QVBoxLayout *layout, const QString &name)
{
    if (name != "Logo" || findRow(layout, "Setting_Logo"))
        return;
    DraggableFrame *frame = createRow(layout, "icon_logo", name, "Setting_Logo");
    auto *lines = static_cast<QVBoxLayout *>(frame->layout());

    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(8, 0, 8, 0);
    buttons->setSpacing(6);
    auto *imageButton = static_cast<QPushButton *>(createOverlayButton("icon_logo", tr("Choose an image")));
    connect(imageButton, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, tr("Open Image File"), QString(),
                                                          tr("Image Files (*.png *.jpg *.jpeg *.bmp *.gif)"));
        if (path.isEmpty())
            return;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            app()->showMessage(tr("Unable to read file!"), "", tr("Ok"), "");
            return;
        }
        const QByteArray data = file.readAll();
        if (QImage::fromData(data).isNull()) {
            app()->showMessage(tr("Invalid image data!"), "", tr("Ok"), "");
            return;
        }
        app()->setMgr()->setSubSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData, data);
    });
    buttons->addWidget(gui::createTitleLabel(tr("Image"), 60));
    buttons->addWidget(imageButton);
    buttons->addWidget(
        createColorButton(BaseSettings::LogoOverlay, BaseSettings::LogoShadowColor, "icon_logo_shadow", tr("Shadow")));
    buttons->addStretch(1);
    addCommonOverlaySettings(lines, BaseSettings::LogoOverlay, {"toggle"});
    lines->addLayout(buttons);
    addCommonOverlaySettings(lines, BaseSettings::LogoOverlay, {"size", "opacity", "horizontal", "vertical"});
}

void MainWidget::addTextSettingLayout(QVBoxLayout *layout, const QString &name)
{
    if (name != "Text" || findRow(layout, "Setting_Text"))
        return;
    DraggableFrame *frame = createRow(layout, "icon_text_fill", name, "Setting_Text");
    auto *lines = static_cast<QVBoxLayout *>(frame->layout());
    BaseSettings *settings = app()->setMgr();
    const auto group = BaseSettings::TextOverlay;

    addCommonOverlaySettings(lines, group, {"toggle"});

    struct TextLine
    {
        const char *title;
        BaseSettings::SubSettings text;
        BaseSettings::SubSettings size;
    };
    static const TextLine textLines[] = {
        {"Line 1", BaseSettings::TextLine1, BaseSettings::Line1Size},
        {"Line 2", BaseSettings::TextLine2, BaseSettings::Line2Size},
    };
    for (const TextLine &line : textLines) {
        const BaseSettings::SubSettings key = line.text;
        QWidget *edit = gui::createTextEditSetting(
            tr(line.title), settings->getSubSetting(group, key).toString(),
            [group, key](const QString &text) { app()->setMgr()->setSubSetting(group, key, text); }, 60);
        edit->setContentsMargins(8, 0, 8, 0);
        lines->addWidget(edit);
        QWidget *size = fractionSlider(tr("Size"), group, line.size, 1);
        size->setContentsMargins(8, 0, 8, 0);
        lines->addWidget(size);
    }

    // Font, weight, colours and alignment on one line.
    auto *tools = new QHBoxLayout;
    tools->setContentsMargins(8, 2, 8, 2);
    tools->setSpacing(5);
    auto *font = new QPushButton(settings->getSubSetting(group, BaseSettings::TextFontFamily).toString());
    font->setObjectName("font_button");
    font->setCursor(Qt::PointingHandCursor);
    font->setMaximumWidth(96);
    gui::setTextButtonStyle(font, gui::gts(gui::TextSize::Small), "500", "5px 8px 5px 8px",
                            color(App::ButtonText), color(App::ButtonBackground));
    connect(font, &QPushButton::clicked, this, [this, font, group] {
        FontFamilyWidget dialog(font->text(), this);
        if (dialog.exec() != QDialog::Accepted || dialog.family().isEmpty())
            return;
        app()->setMgr()->setSubSetting(group, BaseSettings::TextFontFamily, dialog.family());
        font->setText(dialog.family());
    });
    tools->addWidget(font);

    auto *bold = static_cast<QPushButton *>(createOverlayButton("icon_bold", tr("Bold")));
    bold->setCheckable(true);
    bold->setChecked(settings->getSubSetting(group, BaseSettings::TextBold).toBool());
    gui::setButtonIconStyle(bold, 18, "icon_bold", 3, color(App::Separator), "transparent");
    connect(bold, &QPushButton::toggled, this,
            [group](bool checked) { app()->setMgr()->setSubSetting(group, BaseSettings::TextBold, checked); });
    tools->addWidget(bold);
    tools->addWidget(createColorButton(group, BaseSettings::TextShadowColor, "icon_text_shadow", tr("Shadow colour")));
    tools->addWidget(createColorButton(group, BaseSettings::TextFillColor, "icon_text_fill", tr("Text colour")));
    tools->addWidget(gui::getVerticalSeparator());

    auto *alignment = new QButtonGroup(frame);
    alignment->setExclusive(true);
    const int current = settings->getSubSetting(group, BaseSettings::TextHAlign).toInt();
    static const std::pair<const char *, Qt::AlignmentFlag> aligns[] = {
        {"icon_align_left", Qt::AlignLeft}, {"icon_align_center", Qt::AlignHCenter}, {"icon_align_right", Qt::AlignRight}};
    for (const auto &[icon, flag] : aligns) {
        auto *button = static_cast<QPushButton *>(createOverlayButton(icon, tr("Alignment")));
        button->setCheckable(true);
        button->setChecked(current == int(flag));
        gui::setButtonIconStyle(button, 18, icon, 3, color(App::Separator), "transparent");
        alignment->addButton(button, int(flag));
        tools->addWidget(button);
    }
    connect(alignment, &QButtonGroup::idClicked, this,
            [group](int flag) { app()->setMgr()->setSubSetting(group, BaseSettings::TextHAlign, flag); });
    tools->addStretch(1);
    lines->addLayout(tools);

    addCommonOverlaySettings(lines, group, {"opacity", "horizontal", "vertical"});
}

// ---------------------------------------------------------------- preview

void MainWidget::reconnectCamera(int index, const QString &name)
{
    setStockImage("spinner", false, 0.5f, tr("connecting to device..."));
    QTimer::singleShot(250, this, [this, index, name] {
        if (CameraGrabber *camera = m_controllers.camera) {
            camera->stopCamera();
            // A hidden window needs no camera: showing it reconnects.
            if (index >= 0 && isVisible() && !camera->startCamera(CaptureWidth, CaptureHeight, index, name))
                setStockImage("spinner", false, 0.5f, tr("connecting to device..."));
        }
        // A fresh start: the stall check waits for the first picture.
        m_lastFrameMs = QDateTime::currentMSecsSinceEpoch();
        updateAllPages();
    });
}

void MainWidget::restartCamera()
{
    const QVariantList data = m_cameraChooser->currentData().toList();
    if (data.size() == 2)
        reconnectCamera(data[0].toInt(), data[1].toString());
    else
        reconnectCamera(-1, "");
}

void MainWidget::onNewFrame(const QImage &image)
{
    if (image.isNull())
        return;
    m_lastFrameMs = QDateTime::currentMSecsSinceEpoch();
    if (!isVisible())
        return;
    // A real picture replaces the waiting animation.
    if (m_movie) {
        m_movie->stop();
        m_movie->deleteLater();
        m_movie = nullptr;
    }
    m_preview->onNewFrame(image, false);
}

void MainWidget::requestPreviewFrame()
{
    CameraGrabber *camera = m_controllers.camera;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // A request the grabber dropped never answers; after a second it no longer holds the next.
    if (!camera || !isVisible() || (m_frameRequestMs && now - m_frameRequestMs < 1000))
        return;
    m_frameRequestMs = now;
    const QPointer<MainWidget> window(this);
    camera->getFrame(*m_previewBuffer, [window, buffer = m_previewBuffer](bool ok) {
        const QImage picture = ok ? *buffer : QImage();
        // The window is looked at only on the GUI thread.
        QMetaObject::invokeMethod(
            qApp,
            [window, picture] {
                if (!window)
                    return;
                window->m_frameRequestMs = 0;
                window->onNewFrame(picture);
            },
            Qt::QueuedConnection);
    });
}

void MainWidget::watchPreview()
{
    CameraGrabber *camera = m_controllers.camera;
    if (!camera)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!camera->isRunning()) {
        if (isVisible() && now - m_lastRestartMs >= PreviewPatienceMs) {
            m_lastRestartMs = now;
            restartCamera();
        }
        return;
    }
    if (app()->setMgr()->getSubSetting(BaseSettings::General, BaseSettings::LowPowerMode).toBool()) {
        setStockImage("low_power", false, 0.45f, "");
        if (camera->isPreviewing()) {
            qDebug() << "Stopping preview in low power mode on";
            camera->stopPreview();
        }
    } else if (!camera->isPreviewing()) {
        qDebug() << "Restarting preview from low power mode off ";
        camera->startPreview();
        m_lastFrameMs = now;
    } else if (now - m_lastFrameMs > PreviewPatienceMs) {
        setStockImage("spinner", false, 0.5f, tr("connecting to device..."));
    }
}

void MainWidget::setStockImage(const QString &name, bool invert, float scale, const QString &text)
{
    const QString movie = ":/assets/" + name + ".gif";
    if (QFile::exists(movie)) {
        if (m_movie && m_movie->fileName() == movie && m_movie->state() == QMovie::Running)
            return;
        delete m_movie;
        m_movie = new QMovie(movie, QByteArray(), this);
        connect(m_movie, &QMovie::frameChanged, this, [this, scale, text, invert] {
            renderImageFrame(m_movie->currentImage(), scale, text, invert);
        });
        m_movie->start();
        return;
    }
    if (m_movie) {
        m_movie->stop();
        m_movie->deleteLater();
        m_movie = nullptr;
    }
    renderImageFrame(gui::loadAsset(gui::assetPath(name), 256), scale, text, invert);
}

void MainWidget::renderImageFrame(const QImage &image, float scale, const QString &text, bool invert)
{
    const qreal ratio = devicePixelRatioF();
    QImage canvas(QSize(PreviewWidth, PreviewHeight) * ratio, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::black);
    if (!image.isNull()) {
        QImage picture = image;
        if (invert)
            picture.invertPixels();
        const int side = int(scale * std::min(canvas.width(), canvas.height()));
        const QImage scaled = picture.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const int top = (canvas.height() - side) / 2 - (text.isEmpty() ? 0 : int(10 * ratio));
        painter.drawImage(QPoint((canvas.width() - scaled.width()) / 2, top + (side - scaled.height()) / 2), scaled);
        if (!text.isEmpty()) {
            QFont font = app()->getMainFont();
            font.setPixelSize(int(13 * ratio));
            painter.setFont(font);
            painter.setPen(QColor(255, 255, 255, 220));
            painter.drawText(QRect(0, top + side + int(6 * ratio), canvas.width(), int(24 * ratio)),
                             Qt::AlignHCenter | Qt::AlignTop, text);
        }
    }
    m_preview->onNewFrame(canvas, true);
}

// ---------------------------------------------------------------- window behaviour

void MainWidget::forwardMouseWheelEvent(QWheelEvent *event)
{
    if (auto *scroll = qobject_cast<QScrollArea *>(currentPageScrollArea()))
        QCoreApplication::sendEvent(scroll->verticalScrollBar(), event);
}

void MainWidget::adjustPageSize()
{
    QWidget *page = m_stack->currentWidget();
    auto *frame = page ? page->findChild<QWidget *>("settingsFrame") : nullptr;
    if (!frame || !frame->layout())
        return;
    // The page's height is the panel's; the window adds the room of its shadow.
    // A page whose rows need more gets it, so that it shows without scrolling,
    // but never more than the screen: the footer must stay in reach.
    auto *scroll = page->findChild<QScrollArea *>("scrollArea");
    const int chrome = height() - scroll->viewport()->height();
    int height = std::max(frame->layout()->property("settings_height").toInt() + ShadowMargin,
                          chrome + frame->sizeHint().height());
    if (const QScreen *screen = this->screen())
        height = std::min(height, screen->availableGeometry().height());
    // Timers owned by the window: it may be rebuilt before they fire.
    QTimer::singleShot(25, this, [this, height] {
        resize(width(), height);
        // The placement depends on the height: keep the window inside the screen.
        if (isVisible())
            adjustPosition();
    });
    QTimer::singleShot(50, this, [this] { layout()->activate(); });
    QTimer::singleShot(75, this, [this] { layout()->activate(); });
}

void MainWidget::adjustPosition()
{
    const QRect area = app()->computePopupPlacingArea(this);
    if (area.isNull()) {
        const QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        if (!screen)
            return;
        const QRect available = screen->availableGeometry();
        move(available.right() - width() + 1, available.top());
        return;
    }
    move(area.left() - ShadowMargin, area.top());
}

void MainWidget::bringToFront()
{
    setFocus();
    gui::forceWindowToBeInFront(winId());
}

void MainWidget::paintEvent(QPaintEvent *)
{
    // The visible panel: the shadow layer inside its style sheet's margins.
    const QRect panel = m_shadowLayer->geometry().adjusted(ShadowMargin, 0, -ShadowMargin, -ShadowMargin);
    const qreal ratio = devicePixelRatioF();
    if (m_shadow.isNull() || m_shadowPanel != panel || m_shadow.size() != size() * ratio) {
        QImage shape(size() * ratio, QImage::Format_ARGB32_Premultiplied);
        shape.setDevicePixelRatio(ratio);
        shape.fill(Qt::transparent);
        QPainter painter(&shape);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::black);
        painter.drawRoundedRect(QRectF(panel).translated(ShadowOffset), 8, 8);
        painter.end();
        m_shadow = gui::shadowOf(shape, ShadowBlur * ratio, QColor(0, 0, 0, 90));
        m_shadowPanel = panel;
    }
    // Qt clips the painting to the event's region: the preview's repaints copy only their part.
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), m_shadow);
}

void MainWidget::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    adjustPosition();
    restartCamera();
    bringToFront();
    adjustPageSize();
}

void MainWidget::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    reconnectCamera(-1, "");
}
