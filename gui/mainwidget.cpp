// The settings window's frame: the panel and its shadow, the camera chooser, the tab
// header and the page stack, building pages in their stored row order, and the
// window's placement. Each page's rows live in mainwidget_<page>.cpp.
#include "gui/mainwidget.h"

#include "audio/vmic.h"
#include "camera/cameragrabber.h"
#include "gui/draggableframe.h"
#include "gui/gui.h"
#include "gui/mainwidget_p.h"
#include "gui/renderframe.h"
#include "vcam/vcam.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDebug>
#include <QLabel>
#include <QMetaEnum>
#include <QMovie>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>

using namespace mainwidgetparts;

namespace {

QString pageName(MainWidget::Page page)
{
    return QString::fromLatin1(QMetaEnum::fromType<MainWidget::Page>().valueToKey(page));
}

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
    m_watchdog = new QTimer(this);
    m_watchdog->setInterval(1000);
    connect(m_watchdog, &QTimer::timeout, this, &MainWidget::watchPreview);
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
    // The panel's padding is the room around; its parts carry their own margins.
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);

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
        if (app()->isInDarkMode()) {
            // The accent glyph that marks the chosen tab on the light panel is too dark on
            // the dark one (2.5:1): there the chosen tab is a white glyph on an accent pill.
            gui::setCheckableButtonIconStyle(button, 20, icon, color(App::PrimaryText), color(App::PrimaryText), 10);
            button->setStyleSheet(button->styleSheet()
                                  + QString("QPushButton:checked { background: %1; border-radius: 8px; }")
                                        .arg(color(App::Accent)));
        } else {
            gui::setCheckableButtonIconStyle(button, 20, icon, color(App::PrimaryText), color(App::Accent), 10);
        }
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
    // The window is the page's designed height, the room of its shadow included;
    // rows that need more scroll. Never more than the screen: the footer must stay
    // in reach.
    int height = frame->layout()->property("settings_height").toInt();
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
    m_watchdog->start();
    restartCamera();
    bringToFront();
    adjustPageSize();
}

void MainWidget::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    reconnectCamera(-1, "");
    // A hidden window costs nothing: no animation behind it, no preview to watch.
    m_watchdog->stop();
    if (m_movie)
        m_movie->stop();
}
