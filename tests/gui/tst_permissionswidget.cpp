#include "guitestmain.h"

#include "app/wizardplatformdesktop.h"
#include "gui/permissionswidget.h"
#include "tests/support/fakesystem/fakesystem.h"
#include "vcam/cameraextension.h"
#include "vcam/vcam.h"

#include <QLabel>
#include <QProgressDialog>
#include <QPushButton>
#include <QStackedWidget>

namespace {

App *app()
{
    return static_cast<App *>(qApp);
}

/// The system as the wizard sees it, with outcomes set by each test. It
/// records what the wizard asked for.
class FakePlatform : public WizardPlatform
{
public:
    QMap<Permission, Status> permissions{
        {Permission::Camera, Status::Granted}, {Permission::Microphone, Status::Granted},
        {Permission::Bluetooth, Status::Granted}};
    bool inApplications = true;
    bool installed = true;
    bool extension = true;
    int extensionResult = 1;
    bool audioDriver = true;
    QString browser = "chromium.desktop";

    /// What the user answers to a permission request; no entry leaves the status as it is.
    QMap<Permission, Status> answers;
    QList<Permission> settingsOpened;
    QStringList requests;
    QStringList installs;
    int extensionRequests = 0;
    int extensionSettingsOpened = 0;
    int exitCode = -1;

    Status checkPermission(Permission permission) override { return permissions.value(permission); }
    void requestPermission(Permission permission, QObject *context, std::function<void()> answered) override
    {
        requests.append(QString::number(int(permission)));
        if (answers.contains(permission))
            permissions[permission] = answers.value(permission);
        QMetaObject::invokeMethod(context, answered, Qt::QueuedConnection);
    }
    void openPermissionSettings(Permission permission) override { settingsOpened.append(permission); }
    bool isRunningFromApplicationsFolder() override { return inApplications; }
    bool isInstalled() override { return installed; }
    bool moveAppToApplications() override { return false; }
    bool installAssetsPkg(const QString &resourcePath, const QString &) override
    {
        installs.append(resourcePath);
        return true;
    }
    bool isExtensionInstalled() override { return extension; }
    void installExtension(std::function<void(int)> done, std::function<void(int)>) override
    {
        ++extensionRequests;
        done(extensionResult);
    }
    QString extensionMessage() override { return QString(); }
    void openExtensionSettings() override { ++extensionSettingsOpened; }
    bool hasAudioDriver() override { return audioDriver; }
    QString defaultBrowser() override { return browser; }
    void exitProcess(int code) override { exitCode = code; }
};

/// The desktop's own extension step (VCam, the privileged runner, the module script) in a
/// wizard that is otherwise set up.
class DesktopExtensionPlatform : public FakePlatform
{
public:
    bool isExtensionInstalled() override { return desktop->isExtensionInstalled(); }
    void installExtension(std::function<void(int)> done, std::function<void(int)> progress) override
    {
        desktop->installExtension(std::move(done), std::move(progress));
    }
    QString extensionMessage() override { return desktop->extensionMessage(); }

    std::shared_ptr<WizardPlatform> desktop = createDesktopWizardPlatform();
};

/// Files of a stand-in system and their contents.
using Files = QMap<QString, QByteArray>;

QWidget *panelTitled(PermissionsWidget &wizard, const QString &title)
{
    for (QLabel *label : wizard.findChildren<QLabel *>("title_label")) {
        if (label->text().contains("<b>" + title + "</b>"))
            return label->parentWidget();
    }
    return nullptr;
}

void clickPanel(PermissionsWidget &wizard, const QString &title)
{
    QWidget *panel = panelTitled(wizard, title);
    QVERIFY2(panel, qPrintable(title));
    QTest::mouseClick(panel->findChild<QLabel *>("request_label"), Qt::LeftButton);
}

int currentPage(PermissionsWidget &wizard)
{
    return wizard.findChild<QStackedWidget *>("_mainStack")->currentIndex();
}

} // namespace

class tst_PermissionsWidget : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void sweepReportsAllGranted();
    void sweepStopsAtRefusal();
    void outsideInstallFolderOnlyInstallIsEnabled();
    void installedCopyOffersUninstall_data();
    void installedCopyOffersUninstall();
    void decliningAudioDriverCompletes();
    void audioQuestionNamesBrowser_data();
    void audioQuestionNamesBrowser();
    void secondExtensionClickShowsTutorial();
    void extensionOutcomesReachTheWizard_data();
    void extensionOutcomesReachTheWizard();
    void closingEmitsFinished();
    void panelShowsTutorialThenFollowsTheAnswer_data();
    void panelShowsTutorialThenFollowsTheAnswer();
    void finishReportsSuccess();
};

void tst_PermissionsWidget::init()
{
    app()->setMgr()->setSetting(BaseSettings::SkipAudioDriver, false);
}

void tst_PermissionsWidget::sweepReportsAllGranted()
{
    auto platform = std::make_shared<FakePlatform>();
    PermissionsWidget wizard(platform);
    bool reported = false;
    bool result = false;
    wizard.requestAllPermissions([&](bool granted) {
        reported = true;
        result = granted;
    });
    QTRY_VERIFY(reported);
    QVERIFY(result);
    QCOMPARE(platform->requests, (QStringList{"0", "1", "2"}));
}

void tst_PermissionsWidget::sweepStopsAtRefusal()
{
    auto platform = std::make_shared<FakePlatform>();
    platform->permissions[WizardPlatform::Permission::Microphone] = WizardPlatform::Status::Denied;
    PermissionsWidget wizard(platform);
    int reports = 0;
    bool result = true;
    wizard.requestAllPermissions([&](bool granted) {
        ++reports;
        result = granted;
    });
    QTRY_COMPARE(reports, 1);
    QVERIFY(!result);
    // Bluetooth is not asked for once the microphone was refused.
    QCOMPARE(platform->requests, (QStringList{"0", "1"}));
}

void tst_PermissionsWidget::outsideInstallFolderOnlyInstallIsEnabled()
{
    auto platform = std::make_shared<FakePlatform>();
    platform->inApplications = false;
    platform->installed = false;
    app()->setMgr()->setSetting(BaseSettings::SkipAudioDriver, true);
    PermissionsWidget wizard(platform);
    bool reported = false;
    bool result = true;
    wizard.requestAllPermissions([&](bool granted) {
        reported = true;
        result = granted;
    });
    QVERIFY(reported); // at once, without asking for any permission
    QVERIFY(!result);
    QVERIFY(platform->requests.isEmpty());
    QCOMPARE(app()->setMgr()->getSetting(BaseSettings::SkipAudioDriver).toBool(), false);

    wizard.start();
    QVERIFY(wizard.isVisible());
    QCOMPARE(platform->exitCode, -1);
    const QStringList titles{"Install", "Microphone access", "Camera access", "Bluetooth", "Video effects",
                             "Audio effects"};
    for (const QString &title : titles) {
        QWidget *panel = panelTitled(wizard, title);
        QVERIFY2(panel, qPrintable(title));
        QCOMPARE(panel->findChild<QLabel *>("request_label")->isEnabled(), title == "Install");
    }
    // The locked panels do nothing when clicked.
    clickPanel(wizard, "Camera access");
    QCOMPARE(currentPage(wizard), int(PermissionsWidget::Permissions));
    QVERIFY(platform->requests.isEmpty());
}

void tst_PermissionsWidget::installedCopyOffersUninstall_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("installs");
    QTest::newRow("no") << "No" << QStringList();
    QTest::newRow("yes") << "Yes" << QStringList{":/installer/linux/uninstall"};
}

void tst_PermissionsWidget::installedCopyOffersUninstall()
{
    QFETCH(QString, answer);
    QFETCH(QStringList, installs);
    auto platform = std::make_shared<FakePlatform>();
    platform->inApplications = false;
    platform->installed = true;
    PermissionsWidget wizard(platform);
    QString question;
    answerNextMessage(answer, &question);
    // After "Yes" the copy is still there in this fake, so the failure box follows.
    if (answer == "Yes")
        QTimer::singleShot(0, [] { answerNextMessage("Ok"); });
    wizard.start();
    QVERIFY(question.contains("already have a version installed"));
    QCOMPARE(platform->installs, installs);
    QCOMPARE(platform->exitCode, 0);
    QVERIFY(!wizard.isVisible());
}

void tst_PermissionsWidget::decliningAudioDriverCompletes()
{
    auto platform = std::make_shared<FakePlatform>();
    platform->audioDriver = false;
    PermissionsWidget wizard(platform);
    QVERIFY(!wizard.allPermissionsCleared());
    wizard.start();
    QWidget *audio = panelTitled(wizard, "Audio effects");
    QVERIFY(audio && audio->isVisible());

    answerNextMessage("No");
    clickPanel(wizard, "Audio effects");
    QVERIFY(!audio->isVisible());
    QCOMPARE(app()->setMgr()->getSetting(BaseSettings::SkipAudioDriver).toBool(), true);
    QVERIFY(platform->installs.isEmpty());
    QVERIFY(wizard.allPermissionsCleared());
    // The completion page follows at the next tick of the wizard's one-second check.
    QTRY_COMPARE_WITH_TIMEOUT(currentPage(wizard), int(PermissionsWidget::Finished), 5000);
}

void tst_PermissionsWidget::audioQuestionNamesBrowser_data()
{
    QTest::addColumn<QString>("browser");
    QTest::addColumn<bool>("note");
    QTest::newRow("firefox") << "firefox-esr.desktop" << true;
    QTest::newRow("chromium") << "chromium.desktop" << false;
    QTest::newRow("none") << "" << false;
}

void tst_PermissionsWidget::audioQuestionNamesBrowser()
{
    QFETCH(QString, browser);
    QFETCH(bool, note);
    auto platform = std::make_shared<FakePlatform>();
    platform->audioDriver = false;
    platform->browser = browser;
    PermissionsWidget wizard(platform);
    wizard.start();
    QString question;
    answerNextMessage("Yes", &question);
    clickPanel(wizard, "Audio effects");
    QVERIFY(question.contains("These audio effects are optional."));
    QCOMPARE(question.contains("Chrome or Edge"), note);
    QCOMPARE(platform->installs, QStringList{":/installer/linux/install_audio_driver"});
    QCOMPARE(app()->setMgr()->getSetting(BaseSettings::SkipAudioDriver).toBool(), false);
}

void tst_PermissionsWidget::secondExtensionClickShowsTutorial()
{
    auto platform = std::make_shared<FakePlatform>();
    platform->extension = false;
    platform->extensionResult = 3; // waits for the user's approval
    PermissionsWidget wizard(platform);
    wizard.start();
    const int before = PermissionsWidget::extensionAttempts();
    QCOMPARE(before, 0);

    clickPanel(wizard, "Video effects");
    QTRY_COMPARE(platform->extensionRequests, 1);
    QCOMPARE(currentPage(wizard), int(PermissionsWidget::Permissions));
    QCOMPARE(platform->extensionSettingsOpened, 0);

    clickPanel(wizard, "Video effects");
    // The tutorial shows before the system is asked again.
    QCOMPARE(currentPage(wizard), int(PermissionsWidget::Extension));
    QCOMPARE(platform->extensionRequests, 1);
    QTRY_COMPARE(platform->extensionRequests, 2);
    QCOMPARE(platform->extensionSettingsOpened, 1);
    QCOMPARE(PermissionsWidget::extensionAttempts(), 2);
}

void tst_PermissionsWidget::extensionOutcomesReachTheWizard_data()
{
    // Files of the stand-in system (a loaded module's node, the module script's stand-in
    // state), the message the wizard shows ("" for none) and whether the step is settled.
    QTest::addColumn<Files>("files");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("settled");
    const QByteArray sbEnabled = "SecureBoot enabled\n";
    QTest::newRow("installed, loaded") << Files{{"state/module-installed", ""}} << "" << true;
    QTest::newRow("package installed, then loaded") << Files{} << "" << true;
    QTest::newRow("Secure Boot refuses the module")
        << Files{{"state/module-installed", ""}, {"state/sb-state", sbEnabled},
                                     {"var/lib/dkms/mok.pub", "key"}}
        << "sudo mokutil --import /var/lib/dkms/mok.pub" << false;
    QTest::newRow("key enrolled at the next boot")
        << Files{{"state/module-installed", ""}, {"state/sb-state", sbEnabled},
                                     {"var/lib/dkms/mok.pub", "key"},
                                     {"state/key-state", "mok.pub is already in the enrollment request\n"}}
        << "requires a reboot" << false;
    QTest::newRow("module only for the next kernel")
        << Files{{"state/module-installed", ""},
                                     {"state/modprobe-error", "modprobe: FATAL: Module v4l2loopback not found in "
                                                              "directory /lib/modules/6.1.0-fake\n"}}
        << "Restart the computer to finish" << false;
    QTest::newRow("another program's loopback module")
        << Files{{"sys/module/v4l2loopback/refcnt", "1\n"},
                                     {"sys/class/video4linux/video0/name", "OBS Virtual Camera\n"}}
        << "Another program has loaded the v4l2loopback module" << true;
}

void tst_PermissionsWidget::extensionOutcomesReachTheWizard()
{
    // The whole way: the wizard, the desktop platform, VCam, the privileged runner and the
    // module script, on a stand-in files.
    QFETCH(Files, files);
    QFETCH(QString, message);
    QFETCH(bool, settled);
    FakeSystem fake;
    QVERIFY(fake.isValid());
    cameraextension::setSystem({fake.path(), fake.filePath("elevator"), qEnvironmentVariable("TALVENTO_RUNNER")});
    bool cleared = false;
    VCam::uninstallExtension([&](int) { cleared = true; }); // the installed flag is kept once seen
    QTRY_VERIFY_WITH_TIMEOUT(cleared, 30000);
    for (auto file = files.cbegin(); file != files.cend(); ++file)
        fake.write(file.key(), file.value());

    auto platform = std::make_shared<DesktopExtensionPlatform>();
    PermissionsWidget wizard(platform);
    wizard.start();
    const int before = PermissionsWidget::extensionAttempts();
    QString seen;
    if (!message.isEmpty())
        answerNextMessage("Ok", &seen);
    clickPanel(wizard, "Video effects");
    QTRY_COMPARE_WITH_TIMEOUT(PermissionsWidget::extensionAttempts(), before + 1, 30000);
    if (message.isEmpty()) {
        QTest::qWait(200);
        QVERIFY(!QApplication::activeModalWidget());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty(), 10000);
        QVERIFY2(seen.contains(message), qPrintable(seen));
    }
    QCOMPARE(platform->isExtensionInstalled(), settled);
    QCOMPARE(VCam::isExtensionInstalled(), settled && !files.contains("sys/module/v4l2loopback/refcnt"));
    // Done: back from the tutorial (and on to the completion page once everything is met);
    // otherwise the tutorial of a repeated attempt stays.
    const int page = currentPage(wizard);
    if (settled)
        QVERIFY2(page == PermissionsWidget::Permissions || page == PermissionsWidget::Finished,
                 qPrintable(QString::number(page)));
    else
        QCOMPARE(page, int(before > 0 ? PermissionsWidget::Extension : PermissionsWidget::Permissions));
    // Progress is shown while a package installs, and gone with the result.
    auto *progress = wizard.findChild<QProgressDialog *>("extensionProgress");
    QCOMPARE(progress != nullptr, files.isEmpty());
    if (progress)
        QVERIFY(!progress->isVisible());
    cameraextension::setSystem({});
}

void tst_PermissionsWidget::closingEmitsFinished()
{
    auto platform = std::make_shared<FakePlatform>();
    platform->permissions[WizardPlatform::Permission::Bluetooth] = WizardPlatform::Status::Denied;
    PermissionsWidget wizard(platform);
    wizard.start();
    QSignalSpy finished(&wizard, &PermissionsWidget::finished);
    wizard.close();
    QVERIFY(!wizard.isVisible());
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
}

void tst_PermissionsWidget::panelShowsTutorialThenFollowsTheAnswer_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<int>("permission");
    QTest::addColumn<int>("tutorial");
    QTest::addColumn<bool>("granted");
    const auto rows = [](const char *panel, WizardPlatform::Permission permission, PermissionsWidget::Page tutorial) {
        for (const bool granted : {true, false})
            QTest::newRow(qPrintable(QString("%1 %2").arg(panel, granted ? "granted" : "denied")))
                << QString(panel) << int(permission) << int(tutorial) << granted;
    };
    rows("Camera access", WizardPlatform::Permission::Camera, PermissionsWidget::Camera);
    rows("Microphone access", WizardPlatform::Permission::Microphone, PermissionsWidget::Microphone);
    rows("Bluetooth", WizardPlatform::Permission::Bluetooth, PermissionsWidget::Bluetooth);
}

void tst_PermissionsWidget::panelShowsTutorialThenFollowsTheAnswer()
{
    // A click on a missing permission shows its tutorial and asks the system; a grant
    // returns to the panels, a refusal opens the desktop's settings page for it.
    QFETCH(QString, panel);
    QFETCH(int, permission);
    QFETCH(int, tutorial);
    QFETCH(bool, granted);
    const auto which = WizardPlatform::Permission(permission);
    auto platform = std::make_shared<FakePlatform>();
    platform->permissions[which] = WizardPlatform::Status::Undetermined;
    platform->answers[which] = granted ? WizardPlatform::Status::Granted : WizardPlatform::Status::Denied;
    PermissionsWidget wizard(platform);
    wizard.start();
    clickPanel(wizard, panel);
    QCOMPARE(currentPage(wizard), tutorial);
    QCOMPARE(platform->requests, QStringList{QString::number(permission)});
    if (granted) {
        QTRY_COMPARE(currentPage(wizard), int(PermissionsWidget::Permissions));
        QVERIFY(platform->settingsOpened.isEmpty());
    } else {
        QTRY_COMPARE(platform->settingsOpened.size(), 1);
        QVERIFY(platform->settingsOpened.first() == which);
        QCOMPARE(currentPage(wizard), tutorial);
    }
}

void tst_PermissionsWidget::finishReportsSuccess()
{
    // With everything in place the completion page comes by itself; Finish closes the
    // wizard and reports success, on which the application starts its components.
    auto platform = std::make_shared<FakePlatform>();
    platform->permissions[WizardPlatform::Permission::Camera] = WizardPlatform::Status::Undetermined;
    platform->answers[WizardPlatform::Permission::Camera] = WizardPlatform::Status::Granted;
    PermissionsWidget wizard(platform);
    QSignalSpy finished(&wizard, &PermissionsWidget::finished);
    wizard.start();
    QCOMPARE(currentPage(wizard), int(PermissionsWidget::Permissions));
    clickPanel(wizard, "Camera access");
    QTRY_COMPARE_WITH_TIMEOUT(currentPage(wizard), int(PermissionsWidget::Finished), 10000);
    QPushButton *finish = nullptr;
    for (QPushButton *button : wizard.findChildren<QPushButton *>())
        if (button->text() == "Finish")
            finish = button;
    QVERIFY(finish);
    finish->click();
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    QVERIFY(!wizard.isVisible());
}

TALVENTO_GUI_TEST_MAIN(tst_PermissionsWidget)
#include "tst_permissionswidget.moc"
