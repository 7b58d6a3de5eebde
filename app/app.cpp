#include "app/app.h"

#include "app/colorscheme.h"
#include "app/control/controlclient.h"
#include "app/control/controlservice.h"
#include "app/core/logging.h"
#include "app/core/version.h"
#include "app/osversion.h"
#include "app/popupplacement.h"
#include "app/wizardplatformdesktop.h"
#include "app/system/desktopintegration.h"
#include "app/system/oshelper.h"
#include "app/system/runtimedir.h"
#include "audio/vmic.h"
#include "camera/cameragrabber.h"
#include "camera/capturesession.h"
#include "camera/uvc/controls.h"
#include "gui/mainwidget.h"
#include "gui/permissionswidget.h"
#include "light/lightcontroller.h"
#include "light/lightfollower.h"
#include "light/simulatedlightpanel.h"
#include "resources/resources.h"
#include "update/updatemanager.h"
#include "vcam/sharedframering.h"
#include "vcam/vcam.h"
#include "vcam/virtualcamera.h"

#include <QAction>
#include <QCommandLineParser>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QWheelEvent>
#include <QSysInfo>
#include <QThread>
#include <QTimer>

namespace {

const QString appTitle = QStringLiteral("Talvento Control");

// A positive decimal number of milliseconds, or 0 for anything else.
int parseMs(const QString &value)
{
    bool ok = false;
    const int ms = value.toInt(&ok, 10);
    return ok && ms >= 1 ? ms : 0;
}

// One running copy per user: the lock lies in the user's private runtime folder, where no other
// user can take it first.
QString instanceLockPath()
{
    const QString dir = runtimedir::path();
    if (dir.isEmpty())
        return QString(); // no lock can be taken; the start-up reports it
    return QDir(dir).absoluteFilePath(QStringLiteral("%1.lock").arg("Talvento"));
}

} // namespace

const QMap<App::UIElement, QPair<QString, QString>> App::_uiColors = {
    { WindowBackground, { "#ffffff", "#2d2d2f" } },
    { WindowBackgroundTranslucent, { "#e0ffffff", "#e02d2d2f" } },
    { PanelBackground, { "#ececed", "#2e2e30" } },
    { PanelBackgroundTranslucent, { "#e0ececed", "#e02e2e30" } },
    { Separator, { "#d0d0d0", "#222222" } },
    { PrimaryText, { "#474749", "#ffffff" } },
    { LineEditText, { "#474749", "#474749" } },
    { SliderGroove, { "#d8d8d8", "#d0d0d0" } },
    { SliderPart, { "#8d8d8d", "#8d8d8d" } },
    { SliderHandle, { "#ffffff", "#ffffff" } },
    { OverlayControl, { "#474749", "#cbcbcb" } },
    { Accent, { "#0064da", "#0064da" } },
    { ButtonBackground, { "#d8d8d8", "#636366" } },
    { ButtonText, { "#474749", "#ffffff" } },
    { InfoBackground, { "#d8d8d8", "#5c5c5f" } },
    { InfoText, { "#474749", "#ffffff" } },
};

App::App(int &argc, char **argv, int flags, const AppSeams &seams)
    : QApplication(argc, argv, flags)
    , seams(seams)
    , instanceLock(instanceLockPath())
{
    resources::init();
    if (!seams.vcamSegment.isEmpty())
        SharedFrameRing::setDefaultName(seams.vcamSegment);
    setQuitOnLastWindowClosed(false);
    setApplicationDisplayName(appTitle);
    setApplicationName(appTitle);
    setApplicationVersion(QStringLiteral("v%1.%2.%3").arg(version::Major).arg(version::Minor).arg(version::Patch));
    darkMode = colorscheme::isDark();
    // Followed in every mode, the timed-quit one of the tests included.
    colorscheme::watch(this, [this] { onColorSchemeChanged(); });

    if (argc >= 2) {
        qDebug() << "App::App -> argc" << argc;
        for (int i = 0; i < argc; ++i)
            qDebug() << argv[i];

        QCommandLineParser parser;
        const QCommandLineOption sleepOption({ "s", "sleep" }, "Sleep Time before launch in ms", "sleep");
        const QCommandLineOption bundleOption({ "b", "bundle" }, "Bundle to delete", "bundle");
        const QCommandLineOption quitOption({ "q", "quit" }, "Quits the app after waiting for ms", "quit");
        const QCommandLineOption uninstallOption({ "u", "uninstall" }, "Uninstalls extension");
        const QCommandLineOption simulateOption(
            "simulate", "Use simulated devices where the hardware is absent");
        parser.addHelpOption();
        parser.addOptions({ sleepOption, bundleOption, quitOption, uninstallOption, simulateOption });
        parser.process(*this);

        simulate = parser.isSet(simulateOption);

        if (parser.isSet(uninstallOption)) {
            singleInstance = true;
            qDebug() << "Found uninstall arg";
            settings.clear();
            settings.sync();
            VCam::uninstallExtension([this](int result) {
                qDebug() << "Uninstall extension result:" << result;
                shutdown();
                QCoreApplication::exit(0);
            });
            return;
        }
        const QString sleepValue = parser.value(sleepOption);
        if (!sleepValue.isEmpty()) {
            qDebug() << "Found sleep arg" << sleepValue;
            if (const int ms = parseMs(sleepValue))
                QThread::msleep(ms);
        }
        const QString bundleValue = parser.value(bundleOption);
        if (!bundleValue.isEmpty()) {
            qDebug() << "Found bundle arg" << bundleValue;
            removeBundle(bundleValue);
        }
        const QString quitValue = parser.value(quitOption);
        if (!quitValue.isEmpty()) {
            qDebug() << "Found quit arg" << quitValue;
            if (const int ms = parseMs(quitValue)) {
                singleInstance = true;
                run([this] { shutdown(); }, ms);
                return;
            }
        }
    }

    singleInstance = instanceLock.tryLock(100);
    if (!singleInstance) {
        qDebug() << "App::App -> the instance lock" << instanceLock.fileName() << "is held:" << instanceLock.error();
        return;
    }

    publishControl();
    startup();
    buildTray();
    connect(this, &QCoreApplication::aboutToQuit, this, &App::shutdown);
}

App::~App()
{
    shutdown();
    instanceLock.unlock();
    if (trayIcon)
        delete trayIcon->contextMenu(); // owns the actions
    trayActions.clear();
    qDebug() << "App DCTOR!";
}

void App::removeBundle(const QString &path)
{
    // The option exists so that a new copy can remove the one it replaced. Only such a copy is
    // removed: a real directory named after the application that holds its executable under
    // bin/, and never the copy that is running. Anything else (a typo, "/", a system prefix
    // that happens to hold our executable) is left alone.
    const QFileInfo info(path);
    const QString dir = info.canonicalFilePath();
    const QString running = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    const bool isCopy = info.isDir() && !info.isSymLink()
        && info.fileName().contains(QLatin1String("talvento"), Qt::CaseInsensitive)
        && QFileInfo(dir + QStringLiteral("/bin/talvento-control")).isFile();
    if (!isCopy || running.startsWith(dir + QLatin1Char('/'))) {
        qWarning() << "App::App -> not removing" << path << "as it is not an older copy of" << appTitle;
        return;
    }
    if (!QProcess::startDetached(QStringLiteral("rm"), { QStringLiteral("-rf"), dir }))
        qWarning() << "Failed to start the rm command.";
}

void App::publishControl()
{
    ControlService::Components components;
    components.settings = &settings;
    components.effects = [this]() -> PostProcessor * { return virtualCamera ? virtualCamera->postProcessor() : nullptr; };
    components.light = [this] { return lightController; };
    components.window = [this]() -> QWidget * { return mainWindow; };
    // In use by another application: the settings window's own preview is no call.
    components.cameraInUse = [this] { return virtualCamera && virtualCamera->otherReadersConnected(); };
    components.showWindow = [this] {
        showMainWindow();
        if (mainWindow)
            mainWindow->bringToFront();
    };
    components.quit = [this] { shutdown(); };
    components.startAtLogin = [this](bool status) { setupAppToLauncAtStartup(status); };
    components.version = applicationVersion();
    controlService = new ControlService(std::move(components), this);
    controlService->publish(QDBusConnection::sessionBus());
}

void App::followCamera()
{
    // The bus announces what the light panel and the virtual camera report; the light follows
    // the camera's readers when the user asked for it. Only other applications count: opening
    // the settings window (whose preview reads the camera too) leaves the light alone.
    lightFollower = new LightFollower(lightController, &settings);
    connect(virtualCamera, &VCam::onOtherReadersChanged, lightFollower, &LightFollower::setReadersPresent,
            Qt::QueuedConnection);
    for (auto signal : { &LightController::onStatusChanged, &LightController::onLitChanged })
        connect(lightController, signal, controlService, &ControlService::announceChanges, Qt::QueuedConnection);
    connect(virtualCamera, &VCam::onOtherReadersChanged, controlService, &ControlService::announceChanges,
            Qt::QueuedConnection);
}

void App::startup()
{
    installCustomMessageHandler();
    auto *wizard = new PermissionsWidget(createDesktopWizardPlatform(), nullptr);
    setupWizard = wizard;
    // However setup ends, the wizard is done with: the components start, or the application quits.
    const auto endSetup = [this, wizard](bool success) {
        if (setupWizard == wizard)
            setupWizard = nullptr;
        wizard->deleteLater();
        if (success)
            run([this] { start(); }, 2500);
        else
            shutdown();
    };
    connect(wizard, &PermissionsWidget::finished, this, endSetup);
    wizard->requestAllPermissions([this, endSetup](bool allGranted) {
        run([this, allGranted, endSetup] {
            if (!setupWizard)
                return; // shut down meanwhile
            if (allGranted) {
                qDebug() << "App::startup -> everything in place; starting";
                endSetup(true);
                return;
            }
            qDebug() << "App::startup -> showing the setup wizard";
            setupWizard->start();
        }, 1);
    });
}

void App::buildTray()
{
    auto *menu = new QMenu(appTitle);
    QAction *open = menu->addAction(tr("Open"));
    trayActions.insert(QStringLiteral("Open"), open);
    connect(open, &QAction::triggered, this, &App::showMainWindow);
    QAction *quit = menu->addAction(tr("Quit"));
    trayActions.insert(QStringLiteral("Quit"), quit);
    connect(quit, &QAction::triggered, this, &App::shutdown);
    menu->addSeparator();
    menu->addAction(QStringLiteral("%1 %2%3").arg(appTitle, applicationVersion(), " - Public Beta"));

    trayIcon = new QSystemTrayIcon(this);
    updateAppIcon();
    trayIcon->setContextMenu(menu);
    trayIcon->setVisible(true);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &App::onTrayActivated);
    qDebug() << "App::buildTray -> tray icon shown; system tray available:" << isTrayAvailable();
}

void App::onTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger) {
        if (mainWindow)
            mainWindow->setVisible(!mainWindow->isVisible());
        return;
    }
    // The menu is about to open: show it in the current language.
    for (auto it = trayActions.constBegin(); it != trayActions.constEnd(); ++it)
        it.value()->setText(tr(it.key().toUtf8().constData()));
}

void App::updateAppIcon()
{
    if (!trayIcon)
        return;
    const QImage image(QStringLiteral(":/assets/app_dark.png"));
    if (image.isNull()) {
        qWarning() << "App::updateAppIcon -> cannot load the application icon";
        return;
    }
    trayIcon->setIcon(QIcon(QPixmap::fromImage(
        image.scaled(128, 128, Qt::IgnoreAspectRatio, Qt::SmoothTransformation))));
}

void App::useSimulatedDevices()
{
    // Stand-ins for the hardware a build or demo machine lacks: the capture camera and its UVC
    // controls (one identity, so the grabber pairs them), the light panel, and the shared-memory
    // virtual camera that the viewer tool reads.
    CaptureSession::useSimulatedCameras(true);
    uvc::useSimulatedDevices(true);
    lightTransport = std::make_shared<SimulatedLightPanel>();
    virtualcamera::publish();
    qDebug() << "App::useSimulatedDevices -> simulated camera, camera controls, light panel and virtual camera";
}

void App::showComponentMessage(const QString &message)
{
    if (QThread::currentThread() == thread()) {
        showMessage(message, "", "Ok", "");
        return;
    }
    QMetaObject::invokeMethod(this, [this, message] { showMessage(message, "", "Ok", ""); },
                              Qt::QueuedConnection);
}

void App::start()
{
    if (simulate)
        useSimulatedDevices();

    virtualCamera = new VCam(&settings, nullptr);
    connect(virtualCamera, &VCam::onMessage, this, &App::showComponentMessage, Qt::DirectConnection);
    if (!virtualCamera->start()) {
        qWarning() << "App::start -> the virtual camera did not start; quitting";
        run([this] { shutdown(); }, 1);
        return;
    }
    qDebug() << "App::start -> virtual camera started";

    lightController = new LightController(&settings, "Light_ble", "0000f530-1212-efde-1523-785feabcd123",
                                          "00002902-0000-1000-8000-00805f9b34fb",
                                          "0000f532-1212-efde-1523-785feabcd123", nullptr, lightTransport);
    lightController->start();
    qDebug() << "App::start -> light controller started";
    followCamera();

    connect(this, &App::appearenceChanged, this, [this] {
        darkMode = isSystemDarkMode();
        recreateMainWindow();
    });

    virtualMicrophone = new VMic(&settings, nullptr);
    if (virtualMicrophone->getOutputDevice(false).isNull()) {
        qDebug() << "App::start -> no virtual audio device; running without the virtual microphone";
        virtualMicrophone->stop();
    } else {
        connect(virtualMicrophone, &VMic::onMessage, this, &App::showComponentMessage, Qt::DirectConnection);
        virtualMicrophone->start();
        VMic *microphone = virtualMicrophone;
        connect(virtualCamera, &VCam::onClientsConnectedChanged, virtualMicrophone,
                [microphone](bool connected) { microphone->clientsConnected = connected; }, Qt::DirectConnection);
        qDebug() << "App::start -> virtual microphone started";
    }

    cameraGrabber = new CameraGrabber(nullptr);
    qDebug() << "App::start -> camera grabber created";

    recreateMainWindow();
    setupAppToLauncAtStartup(settings.getSubSetting(BaseSettings::General, BaseSettings::StartAtLogin).toBool());
    run([this] {
        setupUpdateManager();
        showMainWindow();
    }, 1000);
}

void App::shutdown()
{
    setupWizard = nullptr;
    if (controlService) {
        delete controlService;
        controlService = nullptr;
    }
    if (mainWindow) {
        mainWindow->close();
        delete mainWindow;
        mainWindow = nullptr;
        qDebug() << "App::shutdown -> main window closed";
    }
    if (cameraGrabber) {
        cameraGrabber->stopCamera();
        delete cameraGrabber;
        cameraGrabber = nullptr;
        qDebug() << "App::shutdown -> camera grabber stopped";
    }
    if (virtualCamera) {
        virtualCamera->stop();
        delete virtualCamera;
        virtualCamera = nullptr;
        qDebug() << "App::shutdown -> virtual camera stopped";
    }
    if (virtualMicrophone) {
        virtualMicrophone->stop();
        delete virtualMicrophone;
        virtualMicrophone = nullptr;
        qDebug() << "App::shutdown -> virtual microphone stopped";
    }
    if (lightFollower) {
        delete lightFollower;
        lightFollower = nullptr;
    }
    if (lightController) {
        lightController->stop();
        delete lightController;
        lightController = nullptr;
        qDebug() << "App::shutdown -> light controller stopped";
    }
    if (updateManager) {
        delete updateManager;
        updateManager = nullptr;
        qDebug() << "App::shutdown -> update manager deleted";
    }
    if (trayIcon)
        trayIcon->setVisible(false);
    if (!quitting) {
        quitting = true;
        QCoreApplication::quit();
    }
}

void App::showMainWindow()
{
    if (mainWindow)
        mainWindow->show();
}

void App::recreateMainWindow()
{
    qDebug() << "recreating main window";
    const bool wasVisible = mainWindow && mainWindow->isVisible();
    MainWidget *old = mainWindow;
    mainWindow = new MainWidget(nullptr);
    if (controlService)
        mainWindow->installEventFilter(controlService);
    mainWindow->setVisible(wasVisible);
    if (old) {
        old->close();
        delete old;
    }
}

void App::onColorSchemeChanged()
{
    const bool dark = colorscheme::isDark();
    if (dark == darkMode)
        return;
    darkMode = dark;
    updateAppIcon();
    emit appearenceChanged();
}

bool App::eventFilter(QObject *watched, QEvent *event)
{
    // The main window's sliders hand their wheel events to the page, which scrolls.
    if (mainWindow && event->type() == QEvent::Wheel && qobject_cast<QSlider *>(watched)) {
        mainWindow->forwardMouseWheelEvent(static_cast<QWheelEvent *>(event));
        return true;
    }
    return QObject::eventFilter(watched, event);
}

bool App::notify(QObject *receiver, QEvent *event)
{
    // The main window is a popup: shown when the application is activated, hidden when it is
    // deactivated. A hidden window's preview no longer keeps the camera on. Without a tray it
    // hides all the same: launching the application again (or the bus's ShowWindow) brings it
    // back.
    if (mainWindow && event->type() == QEvent::ApplicationActivate && mainWindow->isHidden())
        mainWindow->show();
    else if (mainWindow && event->type() == QEvent::ApplicationDeactivate)
        mainWindow->hide();
    return QApplication::notify(receiver, event);
}

void App::run(std::function<void()> fn, int ms)
{
    QTimer::singleShot(ms, ms >= 2000 ? Qt::CoarseTimer : Qt::PreciseTimer, this, std::move(fn));
}

bool App::showMessage(const QString &text, const QString &noText, const QString &yesText,
                      const QString &informativeText)
{
    QString mainText = text;
    QString infoText = informativeText;
    mainText.replace(QLatin1String("<br>"), QLatin1String("\n"));
    infoText.replace(QLatin1String("<br>"), QLatin1String("\n"));
    if (!mainText.isEmpty() && infoText.isEmpty()) {
        infoText = mainText;
        mainText = appTitle;
    }
    qDebug().noquote() << "App::showMessage ->" << mainText << "|" << infoText;

    QMessageBox box;
    box.setText(mainText);
    box.setInformativeText(infoText);
    box.setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    QPushButton *noButton = noText.isEmpty() ? nullptr : box.addButton(noText, QMessageBox::NoRole);
    QPushButton *yesButton = box.addButton(yesText, QMessageBox::YesRole);
    box.setDefaultButton(yesButton);

    if (seams.answerMessages != AppSeams::Answer::None) {
        QPushButton *button = seams.answerMessages == AppSeams::Answer::No && noButton ? noButton : yesButton;
        QTimer::singleShot(0, button, &QPushButton::click);
    }
    box.exec();
    return box.clickedButton() == yesButton;
}

int runApplication(const std::shared_ptr<App> &app)
{
    if (app->isQuitting())
        return 0;
    if (app->isSingleInstance()) {
        app->run([app = app.get()] { app->showMainWindow(); }, 300);
        return QApplication::exec();
    }
    // Only one instance does the work; starting another brings the running one's window up.
    if (control::showRunningWindow()) {
        qDebug() << "main -> the running instance shows its window";
        return 0;
    }
    app->showMessage(App::tr("The application is already running.\n"
                             "you are allowed to run only one instance of the application."),
                     "", "Ok", "");
    return 1;
}

QRect App::computePopupPlacingArea(QWidget *popup)
{
    if (!popup || !trayIcon)
        return QRect();
    const QRect tray = trayIcon->geometry();
    QScreen *screen = QGuiApplication::screenAt(tray.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return QRect();
    return placePopup(tray, screen->availableGeometry(), popup->size());
}

bool App::isSingleInstance() const
{
    return singleInstance;
}

bool App::isQuitting() const
{
    return quitting;
}

bool App::isInDarkMode()
{
    return darkMode;
}

bool App::isSystemDarkMode()
{
    return colorscheme::isDark();
}

bool App::isSimulated() const
{
    return simulate;
}

bool App::isTrayAvailable() const
{
    return trayIcon && QSystemTrayIcon::isSystemTrayAvailable();
}

BaseSettings *App::setMgr()
{
    return &settings;
}

CameraGrabber *App::camGbr()
{
    return cameraGrabber;
}

LightController *App::litCtrl()
{
    return lightController;
}

VCam *App::vCam()
{
    return virtualCamera;
}

VMic *App::vMic()
{
    return virtualMicrophone;
}

UpdateManager *App::updateMgr()
{
    return updateManager;
}

bool App::isRunningFromApplicationsFolder()
{
    return QCoreApplication::applicationDirPath().startsWith(OSHelper::getInstallationBundlePath() + QLatin1Char('/'));
}

bool App::isInstalled()
{
    return QFile::exists(OSHelper::getInstallationBundlePath());
}

QFont App::getMainFont()
{
    return QApplication::font();
}

QString App::getColorStr(UIElement element)
{
    const auto it = _uiColors.constFind(element);
    if (it == _uiColors.constEnd())
        return QString();
    return isInDarkMode() ? it->second : it->first;
}

QColor App::getColor(UIElement element)
{
    return QColor::fromString(getColorStr(element));
}

int App::getOSMajorVersion()
{
    return versionComponent(QSysInfo::productVersion(), 0);
}

int App::getOSMinorVersion()
{
    return versionComponent(QSysInfo::productVersion(), 1);
}

int App::getOSBuildVersion()
{
    return versionComponent(QSysInfo::productVersion(), 2);
}

void App::setupAppToLauncAtStartup(bool status)
{
    desktop::setLaunchAtLogin(status, QCoreApplication::applicationFilePath());
}

void App::openSystemCameraSettings()
{
    desktop::openCameraSettings();
}

void App::openSystemMicrophoneSettings()
{
    desktop::openMicrophoneSettings();
}

void App::openSystemBluetoothSettings()
{
    desktop::openBluetoothSettings();
}

void App::openSystemExtensionSettings()
{
    desktop::openExtensionSettings();
}

QString App::getDefaultBrowserBundleId()
{
    return desktop::defaultBrowser();
}
