#include "guitestmain.h"

#include "gui/permissionswidget.h"

#include <QLabel>
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

    QStringList requests;
    QStringList installs;
    int extensionRequests = 0;
    int extensionSettingsOpened = 0;
    int exitCode = -1;

    Status checkPermission(Permission permission) override { return permissions.value(permission); }
    void requestPermission(Permission permission, QObject *context, std::function<void()> answered) override
    {
        requests.append(QString::number(int(permission)));
        QMetaObject::invokeMethod(context, answered, Qt::QueuedConnection);
    }
    void openPermissionSettings(Permission) override {}
    bool isRunningFromApplicationsFolder() override { return inApplications; }
    bool isInstalled() override { return installed; }
    bool moveAppToApplications() override { return false; }
    bool installAssetsPkg(const QString &resourcePath, const QString &) override
    {
        installs.append(resourcePath);
        return true;
    }
    bool isExtensionInstalled() override { return extension; }
    void installExtension(std::function<void(int)> done) override
    {
        ++extensionRequests;
        done(extensionResult);
    }
    void openExtensionSettings() override { ++extensionSettingsOpened; }
    bool hasAudioDriver() override { return audioDriver; }
    QString defaultBrowser() override { return browser; }
    void exitProcess(int code) override { exitCode = code; }
};

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
    void closingEmitsFinished();
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

TALVENTO_GUI_TEST_MAIN(tst_PermissionsWidget)
#include "tst_permissionswidget.moc"
