#include "gui/permissionswidget.h"

#include "app/app.h"
#include "app/system/oshelper.h"
#include "gui/clickablelabel.h"
#include "gui/gui.h"

#include <algorithm>

#include <QCloseEvent>
#include <QDebug>
#include <QIcon>
#include <QLabel>
#include <QMovie>
#include <QProgressDialog>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {

App *app()
{
    return static_cast<App *>(qApp);
}

QString color(App::UIElement role)
{
    return app()->getColorStr(role);
}

const QString ProductName = "Talvento Control";

// Installer scripts embedded by the system integration layer.
const QString UninstallerPkg = ":/installer/linux/uninstall";
const QString PreUninstallerPkg = ":/installer/linux/pre_uninstall";
const QString AudioDriverPkg = ":/installer/linux/install_audio_driver";

int extensionAttemptCount = 0;

QLabel *titleLabel(const QString &text, const QString &weight, gui::TextSize size)
{
    auto *label = new QLabel(text);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    gui::setTextEditTitleStyle(label, color(App::PrimaryText), gui::gts(size), weight, "0px solid gray",
                               "transparent");
    return label;
}

// A wizard page: a column with the wizard's margins, opened by a stretch.
QVBoxLayout *pageColumn(QWidget *page, int spacing)
{
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(30, 10, 30, 10);
    layout->setSpacing(spacing);
    layout->addStretch(1);
    return layout;
}

QPushButton *textButton(const QString &text)
{
    auto *button = new QPushButton(text);
    button->setCursor(Qt::PointingHandCursor);
    gui::setTextButtonStyle(button, gui::gts(gui::TextSize::Normal), "600", "8px 12px 8px 12px",
                            color(App::ButtonText), color(App::ButtonBackground));
    return button;
}

} // namespace

PermissionsWidget::PermissionsWidget(std::shared_ptr<WizardPlatform> platform, QWidget *parent)
    : QWidget(parent)
    , m_platform(std::move(platform))
{
    using P = WizardPlatform::Permission;
    for (P permission : {P::Camera, P::Microphone, P::Bluetooth})
        m_status[pageOf(permission)] = m_platform->checkPermission(permission) == WizardPlatform::Status::Granted;
    m_status[Extension] = m_platform->isExtensionInstalled();
    m_status[AudioDriver] = m_platform->hasAudioDriver();
    m_status[ApplicationsFolder] = m_platform->isRunningFromApplicationsFolder();
}

PermissionsWidget::~PermissionsWidget()
{
    qDebug() << "PermissionsWidget DCTOR!";
}

int PermissionsWidget::extensionAttempts()
{
    return extensionAttemptCount;
}

PermissionsWidget::Page PermissionsWidget::pageOf(WizardPlatform::Permission permission)
{
    switch (permission) {
    case WizardPlatform::Permission::Camera:
        return Camera;
    case WizardPlatform::Permission::Microphone:
        return Microphone;
    case WizardPlatform::Permission::Bluetooth:
        return Bluetooth;
    }
    return Permissions;
}

// ---------------------------------------------------------------- sweep

void PermissionsWidget::requestAllPermissions(std::function<void(bool)> callback)
{
    if (!m_platform->isRunningFromApplicationsFolder()) {
        m_status[ApplicationsFolder] = false;
        app()->setMgr()->setSetting(BaseSettings::SkipAudioDriver, false);
        callback(allPermissionsCleared());
        return;
    }
    using P = WizardPlatform::Permission;
    requestInTurn({P::Camera, P::Microphone, P::Bluetooth}, std::move(callback));
}

void PermissionsWidget::requestInTurn(QList<WizardPlatform::Permission> remaining,
                                      std::function<void(bool)> callback)
{
    if (remaining.isEmpty()) {
        m_status[Extension] = m_platform->isExtensionInstalled();
        m_status[AudioDriver] = m_platform->hasAudioDriver();
        m_status[ApplicationsFolder] = m_platform->isRunningFromApplicationsFolder();
        callback(allPermissionsCleared());
        return;
    }
    const WizardPlatform::Permission permission = remaining.takeFirst();
    m_platform->requestPermission(permission, this, [this, permission, remaining, callback] {
        const bool granted = m_platform->checkPermission(permission) == WizardPlatform::Status::Granted;
        m_status[pageOf(permission)] = granted;
        if (!granted) {
            callback(false);
            return;
        }
        requestInTurn(remaining, callback);
    });
}

bool PermissionsWidget::allPermissionsCleared()
{
    const bool skipAudio = app()->setMgr()->getSetting(BaseSettings::SkipAudioDriver, false).toBool();
    for (auto it = m_status.constBegin(); it != m_status.constEnd(); ++it) {
        if (it.key() == AudioDriver && skipAudio)
            continue;
        if (!it.value())
            return false;
    }
    return true;
}

// ---------------------------------------------------------------- window

void PermissionsWidget::start()
{
    setWindowIcon(QIcon(":/assets/app.ico"));
    setWindowTitle(tr("Setup ") + QString("%1 %2%3").arg(ProductName, QApplication::applicationVersion(),
                                                          " - Public Beta"));
    setWindowFlags(Qt::Window);
    setFont(app()->getMainFont());
    setObjectName("PermissionsWidget");
    setStyleSheet("#PermissionsWidget { background: transparent; border: none; }");

    if (!m_platform->isRunningFromApplicationsFolder() && m_platform->isInstalled()) {
        const bool uninstall = app()->showMessage(
            tr("It seems you already have a version installed.\nPlease update the software using the already "
               "installed app or uninstall first.\nWould you like to uninstall now?"),
            tr("No"), tr("Yes"), "");
        if (uninstall) {
            if (!m_platform->installAssetsPkg(UninstallerPkg, "/") || m_platform->isInstalled()) {
                app()->showMessage(tr("There was an error while trying to uninstall the app from %1.\n"
                                      "Please try to remove it manually from the %1 folder.")
                                       .arg(OSHelper::getInstallationBundlePath()),
                                   "", tr("Ok"), "");
            }
        }
        m_platform->exitProcess(0);
        return;
    }

    createUi();
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_stack);
    showPage(Permissions);
    show();
    bringToFront();
}

void PermissionsWidget::bringToFront()
{
    setFocus();
    gui::forceWindowToBeInFront(winId());
}

void PermissionsWidget::closeEvent(QCloseEvent *event)
{
    event->accept();
    hide();
    app()->run([this] { emit finished(allPermissionsCleared()); }, 1);
}

void PermissionsWidget::showPage(int index)
{
    m_stack->setCurrentIndex(index);
}

void PermissionsWidget::createUi()
{
    setFixedSize(480, 700);
    m_stack = new QStackedWidget;
    m_stack->setObjectName("_mainStack");
    m_stack->setStyleSheet("#_mainStack { background: blue; border: 1px solid transparent; border-radius: 11px;}");
    m_stack->setAttribute(Qt::WA_TranslucentBackground);
    m_stack->setAttribute(Qt::WA_OpaquePaintEvent);
    m_stack->setAttribute(Qt::WA_NoSystemBackground);
    m_stack->setAutoFillBackground(false);
    m_stack->setContentsMargins(0, 0, 0, 0);
    addPage(createPermissionsPage());
    addPage(createCameraPage());
    addPage(createMicrophonePage());
    addPage(createBluetoothPage());
    addPage(createExtensionPage());
    addPage(createFinishedPage());
}

void PermissionsWidget::addPage(QWidget *page)
{
    const QString name = QString("page%1").arg(m_stack->count() + 1);
    page->setObjectName(name);
    page->setStyleSheet(page->styleSheet()
                        + QString("#%1 { background: %2; border: none; } ")
                              .arg(name, app()->getColor(App::WindowBackground).lighter(150).name()));
    m_stack->addWidget(page);
}

// ---------------------------------------------------------------- permissions page

QWidget *PermissionsWidget::createPermissionsPage()
{
    auto *page = new QWidget;
    QVBoxLayout *layout = pageColumn(page, 10);

    auto *logo = new QLabel;
    gui::setIconLabel(logo, 80, ":/assets/app_blue", false);
    layout->addWidget(logo, 0, Qt::AlignCenter);
    QLabel *intro = titleLabel("Click on the panels below to <br>grant access to " + ProductName + " features ", "400",
                               gui::TextSize::Large);
    intro->setContentsMargins(5, 5, 5, 5);
    layout->addWidget(intro);
    layout->addStretch(1);

    using P = WizardPlatform::Permission;
    const bool movable = m_status[ApplicationsFolder];
    QWidget *install = createPermissionPanel(
        tr("Install"), tr("Move to %1").arg(OSHelper::getInstallationBundlePath()), ":/assets/permissions/applications",
        [this] { return m_status[ApplicationsFolder] = m_platform->isRunningFromApplicationsFolder(); },
        [this] { moveToApplications(); });
    layout->addWidget(install);

    struct DevicePanel
    {
        P permission;
        const char *icon;
        const char *title;
        const char *description;
    };
    static const DevicePanel devices[] = {
        {P::Microphone, ":/assets/permissions/microphone_outline", "Microphone access",
         "Allow access to your Talvento Microphone"},
        {P::Camera, ":/assets/permissions/camera_outline", "Camera access", "Allow access to your Talvento Camera"},
        {P::Bluetooth, ":/assets/permissions/bluetooth", "Bluetooth", "Use your Talvento Light Panel device"},
    };
    QList<QWidget *> lockedPanels;
    for (const DevicePanel &device : devices) {
        const P permission = device.permission;
        lockedPanels.append(createPermissionPanel(
            tr(device.title), tr(device.description), device.icon,
            [this, permission] { return refreshPermission(permission, pageOf(permission)); },
            [this, permission] { requestFromPanel(permission, pageOf(permission)); }));
    }
    lockedPanels.append(createPermissionPanel(
        tr("Video effects"), tr("Talvento Control video driver"), ":/assets/permissions/camera",
        [this] {
            m_status[Extension] = m_platform->isExtensionInstalled();
            if (m_status[Extension] && m_stack->currentIndex() == Extension)
                showPage(Permissions);
            return m_status[Extension];
        },
        [this] { installExtension(); }));
    m_audioDriverPanel = createPermissionPanel(
        tr("Audio effects"), tr("Talvento Control audio driver"), ":/assets/permissions/microphone",
        [this] {
            m_status[AudioDriver] = m_platform->hasAudioDriver();
            return m_status[AudioDriver]
                || app()->setMgr()->getSetting(BaseSettings::SkipAudioDriver, false).toBool();
        },
        [this] { offerAudioDriver(); });
    lockedPanels.append(m_audioDriverPanel);
    // A copy running outside the installation folder can only be moved there.
    for (QWidget *panel : std::as_const(lockedPanels)) {
        gui::enableChildren(panel, movable);
        layout->addWidget(panel);
    }
    layout->addStretch(1);

    auto *timer = new QTimer(layout);
    connect(timer, &QTimer::timeout, this, [this] {
        if (allPermissionsCleared() && m_stack->currentIndex() != Finished) {
            showPage(Finished);
            bringToFront();
        }
    });
    timer->start(1000);
    return page;
}

QWidget *PermissionsWidget::createPermissionPanel(const QString &title, const QString &description,
                                                  const QString &iconPath, std::function<bool()> isGranted,
                                                  std::function<void()> onClick)
{
    static int panelCount = 0;
    auto *frame = new QFrame;
    frame->setObjectName(QString("permission_panel_%1").arg(++panelCount));
    frame->setStyleSheet(QString("#%1 { background: %2; border: 1px solid transparent; border-radius: 8px; padding: "
                                 "0px 10px 0px 10px; }")
                             .arg(frame->objectName(), color(App::PanelBackground)));
    frame->setMinimumHeight(62);
    auto *layout = new QHBoxLayout(frame);
    layout->setContentsMargins(14, 8, 14, 8);
    layout->setSpacing(12);

    auto *icon = new QLabel;
    icon->setObjectName("icon_label");
    gui::setIconLabel(icon, 25, iconPath, false);
    layout->addWidget(icon);

    auto *text = new QLabel(QString("<body style='line-height: 1.25;'><span style='font-size: 12pt;'><b>%1</b></span>"
                                    "<br><span style='font-size: 10pt;'>%2</span>")
                                .arg(title, description));
    text->setObjectName("title_label");
    text->setTextFormat(Qt::RichText);
    text->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    gui::setTextEditTitleStyle(text, color(App::PrimaryText), gui::gts(gui::TextSize::Normal), "400",
                               "0px solid gray", "transparent");
    layout->addWidget(text, 1);

    auto *check = new QLabel;
    check->setObjectName("check_label");
    gui::setIconLabel(check, 20, ":/assets/permissions/check", false);
    layout->addWidget(check);

    auto *request = new gui::ClickableLabel;
    request->setObjectName("request_label");
    request->setCursor(Qt::PointingHandCursor);
    gui::setIconLabel(request, 20, ":/assets/permissions/request", false);
    connect(request, &gui::ClickableLabel::clicked, this, onClick);
    layout->addWidget(request);

    auto *timer = new QTimer(frame);
    auto refresh = [check, request, timer, isGranted] {
        const bool granted = isGranted();
        request->setVisible(!granted);
        check->setVisible(granted);
        // Once satisfied, a panel keeps its check mark.
        if (granted) {
            timer->stop();
            timer->deleteLater();
        }
    };
    connect(timer, &QTimer::timeout, frame, refresh);
    timer->start(1000);
    // Show the current state at once rather than after the first tick.
    refresh();
    return frame;
}

bool PermissionsWidget::refreshPermission(WizardPlatform::Permission permission, Page page)
{
    const bool granted = m_platform->checkPermission(permission) == WizardPlatform::Status::Granted;
    m_status[page] = granted;
    if (granted && m_stack && m_stack->currentIndex() == page)
        showPage(Permissions);
    return granted;
}

void PermissionsWidget::requestFromPanel(WizardPlatform::Permission permission, Page page)
{
    showPage(page);
    m_platform->requestPermission(permission, this, [this, permission, page] {
        switch (m_platform->checkPermission(permission)) {
        case WizardPlatform::Status::Granted:
            m_status[page] = true;
            showPage(Permissions);
            break;
        case WizardPlatform::Status::Denied:
            m_platform->openPermissionSettings(permission);
            break;
        case WizardPlatform::Status::Undetermined:
            break;
        }
    });
}

// ---------------------------------------------------------------- actions

void PermissionsWidget::moveToApplications()
{
    // Removes an older installation without ending this process; its result
    // does not matter, the move below reports what counts.
    m_platform->installAssetsPkg(PreUninstallerPkg, "/");
    if (!m_platform->moveAppToApplications()) {
        app()->showMessage(tr("There was an error while trying to install the app in %1.\nPlease try to "
                              "move it manually into the %1 folder.")
                               .arg(OSHelper::getInstallationBundlePath()),
                           "", tr("Ok"), "");
    }
}

void PermissionsWidget::installExtension()
{
    if (extensionAttemptCount > 0)
        showPage(Extension);
    m_platform->requestPermission(WizardPlatform::Permission::Camera, this, [this] {
        if (m_platform->checkPermission(WizardPlatform::Permission::Camera) != WizardPlatform::Status::Granted)
            return;
        m_platform->installExtension(
            [this](int code) {
                ++extensionAttemptCount;
                m_status[Extension] = m_platform->isExtensionInstalled();
                if (m_extensionProgress)
                    m_extensionProgress->hide();
                qDebug() << "PermissionsWidget::installExtension -> result" << code << "attempt"
                         << extensionAttemptCount;
                const QString message = m_platform->extensionMessage();
                switch (code) {
                case 1:
                    if (m_status[Extension])
                        showPage(Permissions);
                    else if (extensionAttemptCount > 1)
                        m_platform->openExtensionSettings();
                    break;
                case 2:
                    app()->showMessage(
                        ProductName
                            + tr(" has installed successfully, but your computer isn't able to correctly start the "
                                 "video driver.<br><br>This happens when the kernel refuses a newly installed module "
                                 "(for example with Secure Boot), and unfortunately requires a reboot to solve.<br><br>"
                                 "In the meantime, Talvento will work with many apps, but won't appear in every one of "
                                 "them.")
                            + (message.isEmpty() ? QString() : "<br><br>" + message),
                        "", tr("Ok"), "");
                    return;
                default:
                    if (extensionAttemptCount > 1)
                        m_platform->openExtensionSettings();
                    break;
                }
                // What the installer reported: the reason of a failure, what the user must do, or how
                // the camera reaches applications without our loopback node.
                if (!message.isEmpty())
                    app()->showMessage(code == 0 ? tr("The video driver could not be installed.") + "<br><br>" + message
                                                 : message,
                                       "", tr("Ok"), "");
            },
            [this](int percent) { showExtensionProgress(percent); });
    });
}

void PermissionsWidget::showExtensionProgress(int percent)
{
    if (!m_extensionProgress) {
        m_extensionProgress = new QProgressDialog(tr("Installing the video driver..."), QString(), 0, 100, this);
        m_extensionProgress->setObjectName("extensionProgress");
        m_extensionProgress->setWindowTitle(ProductName);
        m_extensionProgress->setMinimumDuration(0);
        m_extensionProgress->setAutoClose(false);
        m_extensionProgress->setAutoReset(false);
    }
    m_extensionProgress->setValue(std::clamp(percent, 0, 100));
    m_extensionProgress->show();
}

void PermissionsWidget::offerAudioDriver()
{
    QString text = tr("These audio effects are optional.<br>Would like to install?");
    const QString browser = m_platform->defaultBrowser();
    for (const char *name : {"safari", "fluid", "coherence", "firefox"}) {
        if (browser.contains(name, Qt::CaseInsensitive)) {
            text += "<br>" + tr("Note: These effects work with most video call apps and Chrome or Edge browsers.");
            break;
        }
    }
    if (app()->showMessage(text, tr("No"), tr("Yes"), "")) {
        if (!m_platform->installAssetsPkg(AudioDriverPkg, "/"))
            app()->showMessage(tr("There was an error trying to install the Virtual Audio Driver."), "", tr("Ok"), "");
        return;
    }
    app()->setMgr()->setSetting(BaseSettings::SkipAudioDriver, true);
    m_audioDriverPanel->hide();
}

// ---------------------------------------------------------------- other pages

QWidget *PermissionsWidget::createTutorialPage(Page page, const QString &title, const QString &moviePath,
                                               const QString &iconPath)
{
    auto *widget = new QWidget;
    QVBoxLayout *layout = pageColumn(widget, 6);
    auto *icon = new QLabel;
    gui::setIconLabel(icon, 65, iconPath, iconPath.startsWith(":/assets/icon_"));
    layout->addWidget(icon, 0, Qt::AlignCenter);
    layout->addWidget(titleLabel(title, "700", gui::TextSize::Title));
    layout->addSpacing(10);

    auto *movieLabel = new QLabel;
    movieLabel->setFixedSize(408, 335);
    movieLabel->setStyleSheet(QString("QLabel { border: 4px solid %1; border-radius: 8px; }")
                                  .arg(color(App::PrimaryText)));
    auto *movie = new QMovie(moviePath, QByteArray(), movieLabel);
    movie->setScaledSize(QSize(408, 335));
    movie->setSpeed(50);
    movieLabel->setMovie(movie);
    layout->addWidget(movieLabel, 0, Qt::AlignCenter);
    layout->addSpacing(10);

    QPushButton *gotIt = textButton(tr("Got it!"));
    connect(gotIt, &QPushButton::clicked, this, [this] { showPage(Permissions); });
    layout->addWidget(gotIt, 0, Qt::AlignCenter);
    layout->addStretch(1);

    // The animation plays only while its page shows.
    connect(m_stack, &QStackedWidget::currentChanged, movie, [movie, page](int index) {
        movie->stop();
        if (index == page)
            movie->start();
    });
    return widget;
}

QWidget *PermissionsWidget::createCameraPage()
{
    return createTutorialPage(Camera, tr("Camera Permission"), ":/assets/movies/camera.gif", ":/assets/icon_camera");
}

QWidget *PermissionsWidget::createMicrophonePage()
{
    return createTutorialPage(Microphone, tr("Microphone Permission"), ":/assets/movies/microphone.gif",
                              ":/assets/icon_microphone");
}

QWidget *PermissionsWidget::createBluetoothPage()
{
    return createTutorialPage(Bluetooth, tr("Bluetooth Permission"), ":/assets/movies/bluetooth.gif",
                              ":/assets/permissions/bluetooth");
}

QWidget *PermissionsWidget::createExtensionPage()
{
    return createTutorialPage(Extension, tr("Camera Extension Permission"), ":/assets/movies/extension.gif",
                              ":/assets/permissions/extension");
}

QWidget *PermissionsWidget::createFinishedPage()
{
    auto *widget = new QWidget;
    QVBoxLayout *layout = pageColumn(widget, 12);
    layout->addWidget(titleLabel(ProductName + " " + tr("setup is completed!"), "600", gui::TextSize::Title));
    layout->addWidget(titleLabel(tr("You may need to restart applications to use") + " " + ProductName, "400",
                                 gui::TextSize::Normal));
    layout->addSpacing(20);
    auto *check = new QLabel;
    gui::setIconLabel(check, 100, ":/assets/permissions/check", false);
    layout->addWidget(check, 0, Qt::AlignCenter);
    layout->addSpacing(20);
    QPushButton *finish = textButton(tr("Finish"));
    connect(finish, &QPushButton::clicked, this, &QWidget::close);
    layout->addWidget(finish, 0, Qt::AlignCenter);
    layout->addStretch(1);
    return widget;
}
