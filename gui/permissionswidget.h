#pragma once

#include "gui/wizardplatform.h"

#include <QMap>
#include <QWidget>

#include <functional>
#include <memory>

class QProgressDialog;
class QStackedWidget;

/// The first-run window: it makes sure the application runs from its
/// installation folder, has camera, microphone and Bluetooth access, has the
/// virtual camera installed and the virtual audio driver installed or declined,
/// before the components start.
class PermissionsWidget : public QWidget
{
    Q_OBJECT
public:
    enum Page {
        Permissions = 0,
        Camera = 1,
        Microphone = 2,
        Bluetooth = 3,
        Extension = 4,
        Finished = 5,
        AudioDriver = 6,
        ApplicationsFolder = 7,
    };
    Q_ENUM(Page)

    explicit PermissionsWidget(std::shared_ptr<WizardPlatform> platform, QWidget *parent = nullptr);
    ~PermissionsWidget() override;

    /// Asks for the three permissions in turn; callback(true) when everything is in place.
    void requestAllPermissions(std::function<void(bool)> callback);
    bool allPermissionsCleared();
    /// Shows the wizard, or deals with an older installed copy.
    void start();
    void bringToFront();

    /// Camera extension install results received so far, program-wide.
    static int extensionAttempts();

signals:
    void finished(bool success);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createUi();
    void addPage(QWidget *page);
    QWidget *createPermissionsPage();
    QWidget *createCameraPage();
    QWidget *createMicrophonePage();
    QWidget *createBluetoothPage();
    QWidget *createExtensionPage();
    QWidget *createFinishedPage();
    QWidget *createTutorialPage(Page page, const QString &title, const QString &moviePath, const QString &iconPath);
    QWidget *createPermissionPanel(const QString &title, const QString &description, const QString &iconPath,
                                   std::function<bool()> isGranted, std::function<void()> onClick);

    void requestInTurn(QList<WizardPlatform::Permission> remaining, std::function<void(bool)> callback);
    bool refreshPermission(WizardPlatform::Permission permission, Page page);
    void requestFromPanel(WizardPlatform::Permission permission, Page page);
    void moveToApplications();
    void installExtension();
    void showExtensionProgress(int percent);
    void offerAudioDriver();
    void showPage(int index);
    static Page pageOf(WizardPlatform::Permission permission);

    QStackedWidget *m_stack = nullptr;
    QMap<Page, bool> m_status;
    std::shared_ptr<WizardPlatform> m_platform;
    QWidget *m_audioDriverPanel = nullptr;
    QProgressDialog *m_extensionProgress = nullptr;
};
