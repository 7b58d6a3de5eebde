#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QSslConfiguration>
#include <QUrl>

#include <atomic>
#include <memory>

class OSHelper;
class Worker;

/// Checks the update manifest, downloads and installs updates, and removes the
/// application. Network and installer work runs on the manager's own worker
/// thread; results arrive as signals emitted there.
class UpdateManager : public QObject
{
    Q_OBJECT
public:
    /// One entry of the update manifest.
    struct UpdateInfo
    {
        QString version;
        int major = 0;
        int minor = 0;
        int patch = 0;
        bool mandatory = false;
        QString url;
        QString whatsNewUrl;
        int versionCode = 0;
        QString sha256; ///< expected SHA-256 of the package in hex; empty when the manifest gives none
    };

    enum UpdateError {
        NoError = 0,
        ManifestDownloadFailed = 1,
        UpdateDownloadFailed = 2,
        FileDownloadFailed = 3,
        FileDownloadInterruped = 4,
        ParseFailed = 5,
        MissingField = 6,
        InvalidVersion = 7,
        CorruptUpdateFile = 8,
        FailedToWriteUpdateFile = 9,
        FailedToStartInstaller = 10,
    };
    Q_ENUM(UpdateError)

    /// The version this build is, as a version code (from the project's version).
    static const int RunningVersionCode;
    /// A larger manifest is not a manifest.
    static constexpr qint64 MaxManifestBytes = 256 * 1024;

    explicit UpdateManager(QObject *parent = nullptr);
    ~UpdateManager() override;

    // Any thread.
    bool checkForUpdate(bool notifyNoUpdates);
    bool downloadInstaller(UpdateInfo info);
    void runInstaller(QString path);
    bool uninstall();

    static QString errorToString(UpdateError error);
    static QList<int> parseVersionNumber(QString version);
    static QList<UpdateInfo> convertToList(QJsonObject manifest, UpdateError &err);
    /// True when `data` is a well-formed Debian package archive.
    static bool isDebianPackage(const QByteArray &data);

    // Worker thread (they block on a nested event loop).
    QJsonObject downloadUpdateInfo(UpdateError &err);
    /// With `maxBytes` >= 0 a larger file is abandoned as failed and `*tooLarge` set.
    QByteArray downloadFile(QString url, UpdateError &err, bool reportProgress, qint64 maxBytes = -1,
                            bool *tooLarge = nullptr);

    /// Where the manifest is fetched from; the build's update host by default.
    QUrl manifestUrl() const;
    void setManifestUrl(const QUrl &url);
    /// TLS settings for every download (for example an extra certificate authority).
    void setSslConfiguration(const QSslConfiguration &configuration);
    /// What installs the packages; made on first use when none was given.
    void setInstaller(std::shared_ptr<OSHelper> installer);

signals:
    void onNewUpdateAvailable(UpdateManager::UpdateInfo ui);
    void onNoUpdatesAvailable();
    void onCheckForUpdateError(UpdateManager::UpdateError error);
    void onUpdateError(UpdateManager::UpdateError error);
    void onDownloadFinished(QString filepath);
    void onCheckForUpdatesStarted();
    void onCheckForUpdatesFinished();
    void onDownloadProcessStarted();
    void onDownloadProcessFinished();
    void onDownloadProgress(float perc);
    /// The installer finished successfully.
    void onUpdateInstalled();

private:
    void runCheck(bool notifyNoUpdates);
    void runDownload(const UpdateInfo &info);
    QString writeUpdateFile(const UpdateInfo &info, const QByteArray &data);

    QSharedPointer<Worker> m_worker;
    std::atomic<bool> m_checking = false;
    std::atomic<bool> m_downloading = false;
    std::shared_ptr<OSHelper> m_installer;
    QUrl m_manifestUrl;
    QSslConfiguration m_sslConfiguration;
    QHash<QString, QString> m_expectedSha256; ///< per staged package; worker thread only
};

Q_DECLARE_METATYPE(UpdateManager::UpdateInfo)
