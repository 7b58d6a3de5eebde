// Saves every page of the setup wizard, in the light and the dark appearance, as
// <appearance>-setup-<page>.png (scripts/screenshots). The wizard runs on a stand-in
// system on which nothing is set up yet, so that every panel asks for its step.
#include "app/app.h"
#include "gui/permissionswidget.h"

#include <QDir>
#include <QMetaObject>
#include <QPalette>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTextStream>

namespace {

class NothingSetUp : public WizardPlatform
{
public:
    Status checkPermission(Permission) override { return Status::Undetermined; }
    void requestPermission(Permission, QObject *context, std::function<void()> answered) override
    {
        QMetaObject::invokeMethod(context, answered, Qt::QueuedConnection);
    }
    void openPermissionSettings(Permission) override {}
    bool isRunningFromApplicationsFolder() override { return true; }
    bool isInstalled() override { return true; }
    bool moveAppToApplications() override { return false; }
    bool installAssetsPkg(const QString &, const QString &) override { return false; }
    bool isExtensionInstalled() override { return false; }
    void installExtension(std::function<void(int)> done, std::function<void(int)>) override { done(0); }
    QString extensionMessage() override { return {}; }
    void openExtensionSettings() override {}
    bool hasAudioDriver() override { return false; }
    QString defaultBrowser() override { return QStringLiteral("chromium.desktop"); }
    void exitProcess(int) override {}
};

// The appearance as a desktop theme sets it: through the application palette.
void setAppearance(bool dark)
{
    QPalette palette;
    palette.setColor(QPalette::Window, dark ? QColor("#202020") : QColor("#f0f0f0"));
    palette.setColor(QPalette::WindowText, dark ? QColor("#f0f0f0") : QColor("#202020"));
    QApplication::setPalette(palette);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        QTextStream(stderr) << "usage: wizard-pictures <output folder>\n";
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    // Settings go to a store of our own, not the user's; the application object comes up
    // in its timed-quit mode, without components, tray icon or instance lock.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QList<QByteArray> args{argv[0], "--quit", "600000"};
    std::vector<char *> appArgv;
    for (QByteArray &arg : args)
        appArgv.push_back(arg.data());
    int appArgc = int(appArgv.size());
    App app(appArgc, appArgv.data(), QT_VERSION);
    QDir().mkpath(folder);

    const char *pages[] = {"permissions", "camera", "microphone", "bluetooth", "extension", "finished"};
    for (const bool dark : {false, true}) {
        setAppearance(dark);
        PermissionsWidget wizard(std::make_shared<NothingSetUp>());
        wizard.start();
        auto *stack = wizard.findChild<QStackedWidget *>("_mainStack");
        if (!stack || stack->count() != 6) {
            QTextStream(stderr) << "wizard-pictures: the wizard has no six pages\n";
            return 1;
        }
        for (int i = 0; i < stack->count(); ++i) {
            stack->setCurrentIndex(i);
            QApplication::processEvents();
            const QString path =
                QDir(folder).filePath(QString("%1-setup-%2.png").arg(dark ? "dark" : "light", pages[i]));
            if (!wizard.grab().save(path)) {
                QTextStream(stderr) << "wizard-pictures: cannot write " << path << "\n";
                return 1;
            }
            QTextStream(stdout) << path << "\n";
        }
        wizard.hide();
    }
    return 0;
}
