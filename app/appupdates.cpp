#include "app/app.h"

#include "app/system/oshelper.h"
#include "gui/mainwidget.h"

#include "update/updatemanager.h"

#include <QDebug>
#include <QSslConfiguration>

void App::setupUpdateManager()
{
    if (updateManager)
        return;
    // The manager emits on its worker thread; automatic connections bring every signal to the
    // GUI thread, where the message boxes open.
    updateManager = new UpdateManager(nullptr);
    if (seams.updateManifestUrl.isValid())
        updateManager->setManifestUrl(seams.updateManifestUrl);
    if (!seams.updateCaCertificates.isEmpty()) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificates(seams.updateCaCertificates);
        updateManager->setSslConfiguration(configuration);
    }
    if (!seams.updateElevator.isEmpty() || !seams.updateRunner.isEmpty()) {
        auto installer = std::make_shared<OSHelper>();
        if (!seams.updateElevator.isEmpty())
            installer->setElevator(seams.updateElevator);
        if (!seams.updateRunner.isEmpty())
            installer->setRunnerPath(seams.updateRunner);
        updateManager->setInstaller(installer);
    }
    const auto failure = [this](const QString &what, UpdateManager::UpdateError error) {
        showMessage(QStringLiteral("%1 (%2).<br>%3")
                        .arg(what, UpdateManager::errorToString(error), tr("Please try again later.")),
                    "", "Ok", "");
    };

    connect(updateManager, &UpdateManager::onNewUpdateAvailable, this, [this](UpdateManager::UpdateInfo info) {
        const QString text = QStringLiteral("%1 (v%2).<br>%3<br><br>")
                                 .arg(tr("There is a new update available"), info.version,
                                      info.mandatory ? tr("The update will start right away.")
                                                     : tr("Would you like to install now?"));
        const bool yes = showMessage(text, info.mandatory ? QString() : tr("No"),
                                     info.mandatory ? tr("Ok") : tr("Yes"),
                                     QStringLiteral("(%1)").arg(tr("download will be done in background")));
        if ((yes || info.mandatory) && updateManager)
            updateManager->downloadInstaller(info);
    });
    connect(updateManager, &UpdateManager::onCheckForUpdateError, this, [failure](UpdateManager::UpdateError error) {
        failure(tr("There was an error while checking for updates"), error);
    });
    connect(updateManager, &UpdateManager::onUpdateError, this, [failure](UpdateManager::UpdateError error) {
        failure(tr("There was an error while updating"), error);
    });
    connect(updateManager, &UpdateManager::onDownloadFinished, this, [this](QString path) {
        showMessage(tr("The update file was successfully downloaded and it will be installed."), "", "Ok", "");
        if (mainWindow)
            mainWindow->hide();
        run([this, path] {
            if (updateManager)
                updateManager->runInstaller(path);
        }, 1);
    });
    connect(updateManager, &UpdateManager::onUpdateInstalled, this, [this] {
        // The installed files are the new version now: start it and make way for it. The new
        // copy waits before it takes the instance lock, which this one gives back as it quits.
        showMessage(tr("The update was installed. Talvento Control restarts now."), "", "Ok", "");
        const QString installation =
            seams.installationFolder.isEmpty() ? OSHelper::getInstallationBundlePath() : seams.installationFolder;
        if (!OSHelper::openAppBundle(installation, {QStringLiteral("-s"), QStringLiteral("3000")})) {
            qWarning() << "App::onUpdateInstalled -> cannot start the installed version at" << installation;
            return;
        }
        qDebug() << "App::onUpdateInstalled -> started the installed version at" << installation;
        shutdown();
    });
    connect(updateManager, &UpdateManager::onNoUpdatesAvailable, this, [this] {
        showMessage(tr("You are running the latest version."), "", "Ok", "");
    });
    connect(updateManager, &UpdateManager::onCheckForUpdatesStarted, this, [this] {
        qDebug() << "App::onCheckForUpdatesStarted";
        emit onUpdaterStarted();
    });
    connect(updateManager, &UpdateManager::onCheckForUpdatesFinished, this, [this] {
        qDebug() << "App::onCheckForUpdatesFinished";
        emit onUpdaterFinished();
    });
    connect(updateManager, &UpdateManager::onDownloadProcessStarted, this, [this] {
        qDebug() << "App::onDownloadProcessStarted";
        emit onDownloaderStarted();
    });
    connect(updateManager, &UpdateManager::onDownloadProgress, this, [this](float progress) {
        qDebug() << "App::onDownloadProgress";
        emit onDownloaderProgress(progress);
    });
    connect(updateManager, &UpdateManager::onDownloadProcessFinished, this, [this] {
        qDebug() << "App::onDownloadProcessFinished";
        emit onDownloaderFinished();
    });
    updateManager->checkForUpdate(false);
}
