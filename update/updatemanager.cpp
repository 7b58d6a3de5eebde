#include "update/updatemanager.h"

#include "app/core/worker.h"
#include "app/system/oshelper.h"
#include "app/system/rootinstall.h"
#include "app/core/version.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>

#include <algorithm>

namespace {

const QString manifestPath = QStringLiteral("/TalventoControl/update_manifest.json");
// Only entries for this platform are considered.
const QString manifestOs = QStringLiteral("linux");
constexpr qint64 progressStepBytes = 256000;

} // namespace

const int UpdateManager::RunningVersionCode = version::Code;

UpdateManager::UpdateManager(QObject *parent)
    : QObject(parent)
    , m_manifestUrl(QStringLiteral(TALVENTO_UPDATE_HOST) + manifestPath)
    , m_sslConfiguration(QSslConfiguration::defaultConfiguration())
{
    qRegisterMetaType<UpdateManager::UpdateInfo>();
    qRegisterMetaType<UpdateManager::UpdateError>();
    m_worker = Worker::create(this, true);
}

UpdateManager::~UpdateManager()
{
    qDebug() << "UpdateManager DCTOR!";
    m_worker->shutdown();
}

QUrl UpdateManager::manifestUrl() const
{
    return m_manifestUrl;
}

void UpdateManager::setManifestUrl(const QUrl &url)
{
    m_manifestUrl = url;
}

void UpdateManager::setSslConfiguration(const QSslConfiguration &configuration)
{
    m_sslConfiguration = configuration;
}

void UpdateManager::setInstaller(std::shared_ptr<OSHelper> installer)
{
    m_installer = std::move(installer);
}

QString UpdateManager::errorToString(UpdateError error)
{
    const char *text = "";
    switch (error) {
    case NoError: text = "no error"; break;
    case ManifestDownloadFailed: text = "failed to download update manifest"; break;
    case UpdateDownloadFailed: text = "failed to download update file"; break;
    case FileDownloadFailed: text = "failed to download update file"; break;
    case FileDownloadInterruped: text = "download was interrupted"; break;
    case ParseFailed: text = "failed to parse update manifest"; break;
    case MissingField: text = "update manifest has missing fields"; break;
    case InvalidVersion: text = "update manifest contains invalid version"; break;
    case CorruptUpdateFile: text = "corrupted update file"; break;
    case FailedToWriteUpdateFile: text = "failed to write update file"; break;
    case FailedToStartInstaller: text = "failed to start installer"; break;
    }
    return QCoreApplication::translate("App", text);
}

QList<int> UpdateManager::parseVersionNumber(QString version)
{
    QList<int> parts;
    for (const QString &part : version.split(QLatin1Char('.')))
        parts << part.toInt(nullptr, 10);
    return parts;
}

QList<UpdateManager::UpdateInfo> UpdateManager::convertToList(QJsonObject manifest, UpdateError &err)
{
    err = NoError;
    QList<UpdateInfo> updates;
    if (!manifest.contains(QLatin1String("updates")))
        return updates;

    for (const QJsonValue &value : manifest.value(QLatin1String("updates")).toArray()) {
        const QJsonObject entry = value.toObject();
        if (!entry.contains(QLatin1String("os")) || !entry.contains(QLatin1String("version"))
            || !entry.contains(QLatin1String("url"))) {
            err = MissingField;
            return {};
        }
        if (entry.value(QLatin1String("os")).toString() != manifestOs)
            continue;
        const QString version = entry.value(QLatin1String("version")).toString();
        const QList<int> parts = parseVersionNumber(version);
        // Three plain numbers: the text also names the downloaded file.
        static const QRegularExpression threeNumbers(QStringLiteral("^[0-9]{1,5}\\.[0-9]{1,5}\\.[0-9]{1,5}$"));
        if (parts.size() != 3 || !threeNumbers.match(version).hasMatch()) {
            err = InvalidVersion;
            return {};
        }
        UpdateInfo info;
        info.version = version;
        info.major = parts[0];
        info.minor = parts[1];
        info.patch = parts[2];
        info.versionCode = info.major * 100000 + info.minor * 1000 + info.patch;
        if (info.versionCode <= RunningVersionCode)
            continue;
        info.mandatory = entry.value(QLatin1String("mandatory")).toBool(false);
        info.url = entry.value(QLatin1String("url")).toString();
        info.whatsNewUrl = entry.value(QLatin1String("whats_new_url")).toString();
        info.sha256 = entry.value(QLatin1String("sha256")).toString().toLower();
        updates << info;
    }
    std::stable_sort(updates.begin(), updates.end(),
                     [](const UpdateInfo &a, const UpdateInfo &b) { return a.versionCode > b.versionCode; });
    return updates;
}

bool UpdateManager::isDebianPackage(const QByteArray &data)
{
    return rootinstall::isDebianPackage(data);
}

QByteArray UpdateManager::downloadFile(QString url, UpdateError &err, bool reportProgress, qint64 maxBytes,
                                       bool *tooLarge)
{
    err = NoError;
    bool overLimit = false;
    QByteArray result;
    auto *manager = new QNetworkAccessManager();
    QNetworkRequest request{QUrl(url, QUrl::TolerantMode)};
    request.setSslConfiguration(m_sslConfiguration);
    QNetworkReply *reply = manager->get(request);
    QEventLoop *loop = new QEventLoop(reply);
    connect(qApp, &QCoreApplication::aboutToQuit, reply, &QNetworkReply::abort);

    qint64 lastReceived = 0;
    qint64 lastTotal = 0;
    qint64 lastStep = -1;
    connect(reply, &QNetworkReply::finished, reply, [&, reply, manager, loop] {
        if (overLimit) {
            qWarning() << "UpdateManager::downloadFile -> failed! -> larger than" << maxBytes << "bytes";
            err = FileDownloadFailed;
        } else if (reply->error() == QNetworkReply::NoError) {
            qDebug() << "UpdateManager::downloadFile -> succeeded!";
            result = reply->readAll();
        } else {
            qWarning() << "UpdateManager::downloadFile -> failed! ->" << reply->errorString();
            err = FileDownloadFailed;
        }
        reply->deleteLater();
        manager->deleteLater();
        loop->quit();
    });
    connect(reply, &QNetworkReply::downloadProgress, reply, [&, reply](qint64 received, qint64 total) {
        lastReceived = received;
        lastTotal = total;
        if (maxBytes >= 0 && (received > maxBytes || total > maxBytes) && !overLimit) {
            overLimit = true;
            reply->abort();
            return;
        }
        if (total > 0 && received / progressStepBytes != lastStep) {
            lastStep = received / progressStepBytes;
            const float percentage = float(received) * 100.0f / float(total);
            qDebug() << "Downloading" << reply->url().fileName() << "->" << percentage << "%";
            if (reportProgress)
                emit onDownloadProgress(percentage);
        }
    });

    loop->exec();

    if (tooLarge)
        *tooLarge = overLimit;
    if (!overLimit && lastReceived < lastTotal)
        err = FileDownloadInterruped;
    return result;
}

QJsonObject UpdateManager::downloadUpdateInfo(UpdateError &err)
{
    bool tooLarge = false;
    const QByteArray data = downloadFile(m_manifestUrl.toString(), err, false, MaxManifestBytes, &tooLarge);
    if (tooLarge) {
        // Nothing that large is a manifest of ours.
        qWarning() << "UpdateManager::downloadUpdateInfo -> error parsing json file! -> larger than"
                   << MaxManifestBytes << "bytes";
        err = ParseFailed;
        return {};
    }
    if (err == FileDownloadFailed)
        err = ManifestDownloadFailed;
    if (err != NoError)
        return {};
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(data, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        qWarning() << "UpdateManager::downloadUpdateInfo -> error parsing json file! ->" << parseError.errorString()
                   << data;
        err = ParseFailed;
        return {};
    }
    return document.object();
}

bool UpdateManager::checkForUpdate(bool notifyNoUpdates)
{
    if (m_checking || m_downloading)
        return false;
    m_checking = true;
    m_worker->runFunctionAsync([this, notifyNoUpdates](QObject *) { runCheck(notifyNoUpdates); });
    return true;
}

void UpdateManager::runCheck(bool notifyNoUpdates)
{
    qDebug() << "UpdateManager::onCheckForUpdatesStarted";
    emit onCheckForUpdatesStarted();

    UpdateError err = NoError;
    const QJsonObject manifest = downloadUpdateInfo(err);
    QList<UpdateInfo> updates;
    if (err == NoError)
        updates = convertToList(manifest, err);

    if (err != NoError) {
        qDebug() << "UpdateManager::onCheckForUpdateError" << QMetaEnum::fromType<UpdateError>().valueToKey(err);
        emit onCheckForUpdateError(err);
    } else if (!updates.isEmpty()) {
        UpdateInfo newest = updates.first();
        newest.mandatory = std::any_of(updates.cbegin(), updates.cend(), [](const UpdateInfo &u) { return u.mandatory; });
        qDebug() << "UpdateManager::onNewUpdateAvailable";
        emit onNewUpdateAvailable(newest);
    } else if (notifyNoUpdates) {
        qDebug() << "UpdateManager::onNoUpdatesAvailable";
        emit onNoUpdatesAvailable();
    }

    qDebug() << "UpdateManager::onCheckForUpdatesFinished";
    emit onCheckForUpdatesFinished();
    m_checking = false;
}

bool UpdateManager::downloadInstaller(UpdateInfo info)
{
    if (m_downloading)
        return false;
    m_downloading = true;
    m_worker->runFunctionAsync([this, info](QObject *) { runDownload(info); });
    return true;
}

void UpdateManager::runDownload(const UpdateInfo &info)
{
    emit onDownloadProcessStarted();

    UpdateError err = NoError;
    QByteArray data;
    if (QUrl(info.url, QUrl::TolerantMode).scheme() != QLatin1String("https")) {
        // Packages are installed as administrator: never take one over plain HTTP.
        qWarning() << "UpdateManager::downloadInstaller -> refusing a package address that is not https:" << info.url;
        err = UpdateDownloadFailed;
    } else {
        data = downloadFile(info.url, err, true);
        if (err == FileDownloadFailed)
            err = UpdateDownloadFailed;
    }
    if (err == NoError) {
        const QString digest = QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
        if (!isDebianPackage(data)) {
            qWarning() << "UpdateManager::downloadInstaller -> the download is not a Debian package";
            err = CorruptUpdateFile;
        } else if (!info.sha256.isEmpty() && digest != info.sha256) {
            qWarning() << "UpdateManager::downloadInstaller -> SHA-256" << digest << "differs from" << info.sha256;
            err = CorruptUpdateFile;
        }
    }

    if (err != NoError) {
        emit onUpdateError(err);
    } else {
        const QString path = writeUpdateFile(info, data);
        if (path.isEmpty())
            emit onUpdateError(FailedToWriteUpdateFile);
        else
            emit onDownloadFinished(path);
    }

    m_downloading = false;
    emit onDownloadProcessFinished();
}

QString UpdateManager::writeUpdateFile(const UpdateInfo &info, const QByteArray &data)
{
    // The version is three numbers (convertToList checks it), so the name stays one file name.
    const QString name = QStringLiteral("Update_%1_%2").arg(QStringLiteral("Talvento"), QString(info.version).replace(QLatin1Char('.'), QLatin1Char('_')))
        + QStringLiteral(".deb");
    const QString path = OSHelper::stageFile(name, data);
    if (!path.isEmpty())
        m_expectedSha256.insert(path, info.sha256);
    return path;
}

void UpdateManager::runInstaller(QString path)
{
    m_worker->runFunctionAsync([this, path](QObject *) {
        if (!m_installer)
            m_installer = std::make_shared<OSHelper>();
        // The root side checks its own copy of the package again, against the digest the
        // manifest gave for it.
        const int result = m_installer->installPkg(path, QStringLiteral("/"), {}, m_expectedSha256.value(path));
        if (result == 0) {
            qDebug() << "UpdateManager::runInstaller -> installed" << path;
            emit onUpdateInstalled();
        } else {
            qWarning() << "UpdateManager::runInstaller -> installer failed with" << result;
            emit onUpdateError(FailedToStartInstaller);
        }
    });
}

bool UpdateManager::uninstall()
{
    OSHelper helper;
    if (!helper.installAssetsPkg(QStringLiteral(":/installer/linux/uninstall"), QStringLiteral("/"), {}))
        return false;
    return !QFileInfo::exists(OSHelper::getInstallationBundlePath());
}
