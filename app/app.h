#pragma once

#include "app/appseams.h"
#include "app/core/basesettings.h"

#include <QApplication>
#include <QColor>
#include <QFont>
#include <QLockFile>
#include <QMap>
#include <QPair>
#include <QRect>
#include <QString>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

class BleTransport;
class CameraGrabber;
class ControlService;
class LightController;
class LightFollower;
class MainWidget;
class PermissionsWidget;
class QAction;
class UpdateManager;
class VCam;
class VMic;

/// The process's application object. It owns the settings store and every long-lived
/// component, runs the command-line modes, keeps to one running instance, lives in the system
/// tray, starts the components in stages and stops them in a fixed order. Other code reaches it
/// as qApp cast to App.
class App : public QApplication
{
    Q_OBJECT
public:
    /// Colour roles of the settings window and the setup wizard; each has a light and a dark
    /// colour.
    enum UIElement : int {
        WindowBackground = 0,
        WindowBackgroundTranslucent = 1,
        PanelBackground = 2,
        PanelBackgroundTranslucent = 3,
        Separator = 4,
        PrimaryText = 5,
        LineEditText = 6,
        SliderGroove = 7,
        SliderPart = 8,
        SliderHandle = 9,
        OverlayControl = 10,
        Accent = 11,
        ButtonBackground = 12,
        ButtonText = 13,
        InfoBackground = 14,
        InfoText = 15,
    };
    Q_ENUM(UIElement)

    /// `seams` are for test runs; the shipped entry point passes none.
    App(int &argc, char **argv, int flags, const AppSeams &seams = AppSeams());
    ~App() override;

    // GUI thread.
    bool isSingleInstance() const;
    bool isQuitting() const;
    bool isInDarkMode();
    /// Live query of the desktop's appearance.
    bool isSystemDarkMode();
    /// True when started with --simulate: simulated devices stand in where hardware is absent.
    bool isSimulated() const;
    /// True when the tray icon sits in a system tray (logged at start-up).
    bool isTrayAvailable() const;

    BaseSettings *setMgr();
    CameraGrabber *camGbr();
    LightController *litCtrl();
    VCam *vCam();
    VMic *vMic();
    UpdateManager *updateMgr();

    /// Runs fn once, ms milliseconds from now, on the GUI thread.
    void run(std::function<void()> fn, int ms);
    /// A modal box titled "Talvento Control"; true when the yes button was clicked.
    bool showMessage(const QString &text, const QString &noText, const QString &yesText,
                     const QString &informativeText);
    /// Where a popup of the widget's size opens: below the tray icon, inside the screen's
    /// available area. An empty rectangle without a popup or a tray icon.
    QRect computePopupPlacingArea(QWidget *popup);

    bool isRunningFromApplicationsFolder();
    bool isInstalled();

    QFont getMainFont();
    QColor getColor(UIElement element);
    QString getColorStr(UIElement element);

    /// Creates the update manager and starts a silent check; defined with the update manager.
    void setupUpdateManager();

    // The desktop's settings pages and default browser.
    void openSystemCameraSettings();
    void openSystemMicrophoneSettings();
    void openSystemBluetoothSettings();
    void openSystemExtensionSettings();
    QString getDefaultBrowserBundleId();

    bool eventFilter(QObject *watched, QEvent *event) override;
    bool notify(QObject *receiver, QEvent *event) override;

public slots:
    void shutdown();
    void showMainWindow();
    void recreateMainWindow();
    void setupAppToLauncAtStartup(bool status);
    void start();
    int getOSMajorVersion();
    int getOSMinorVersion();
    int getOSBuildVersion();
    void updateAppIcon();

signals:
    void appearenceChanged();
    void onUpdaterStarted();
    void onUpdaterFinished();
    void onDownloaderStarted();
    void onDownloaderProgress(float progress);
    void onDownloaderFinished();

private:
    void startup();
    void buildTray();
    void onColorSchemeChanged();
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void removeBundle(const QString &path);
    void useSimulatedDevices();
    /// Shows a component's message; one that arrives off the GUI thread is handed over first.
    void showComponentMessage(const QString &message);
    void publishControl();
    void followCamera();

    static const QMap<UIElement, QPair<QString, QString>> _uiColors;

    AppSeams seams;
    BaseSettings settings;
    QMap<QString, QAction *> trayActions;
    QSystemTrayIcon *trayIcon = nullptr;
    CameraGrabber *cameraGrabber = nullptr;
    LightController *lightController = nullptr;
    VCam *virtualCamera = nullptr;
    VMic *virtualMicrophone = nullptr;
    MainWidget *mainWindow = nullptr;
    PermissionsWidget *setupWizard = nullptr;
    UpdateManager *updateManager = nullptr;
    ControlService *controlService = nullptr;
    LightFollower *lightFollower = nullptr;
    QLockFile instanceLock;
    bool singleInstance = false;
    bool quitting = false;
    bool darkMode = false;
    bool simulate = false;
    /// The simulated light panel under --simulate; null for the system's Bluetooth.
    std::shared_ptr<BleTransport> lightTransport;
};

/// The process entry after construction: the event loop of a single instance, or the "already
/// running" message and 1 for a second one.
int runApplication(const std::shared_ptr<App> &app);
