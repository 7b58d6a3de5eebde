#include "app/system/oshelper.h"

#include "app/system/processrunner.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <unistd.h>

namespace {

const QString installationPath = QStringLiteral("/opt/talvento-control");
const QString executableName = QStringLiteral("talvento-control");
const QString runnerName = QStringLiteral("talvento-privileged-runner");
const QString successMarker = QStringLiteral("---FINISHED WITH SUCCESS---");

// Embedded scripts that act for the user who runs the application (the
// virtual audio device lives in the user's sound server) carry this line and
// are never elevated.
const QByteArray runAsUserTag = "# talvento: run as user";

QString runnerPath()
{
    const QString besideUs = QCoreApplication::applicationDirPath() + QLatin1Char('/') + runnerName;
    if (QFileInfo::exists(besideUs))
        return besideUs;
    // A build tree's own runner comes before an installed one, so that
    // programs run from the build never mix with another installation.
    const QString built = QStringLiteral(TALVENTO_RUNNER_BUILD_PATH);
    if (QFileInfo::exists(built))
        return built;
    return installationPath + QStringLiteral("/bin/") + runnerName;
}

bool isScriptForUser(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return file.read(4096).contains(runAsUserTag);
}

} // namespace

// The privileged runner of this object: started on the first privileged run
// and fed one command per line until the object goes.
struct OSHelper::Opaque
{
    QString elevator;
    std::unique_ptr<QProcess> runner;

    processrunner::Result runElevated(const QStringList &command,
                                      const std::function<void(const QString &)> &onLine);
};

processrunner::Result OSHelper::Opaque::runElevated(const QStringList &command,
                                                    const std::function<void(const QString &)> &onLine)
{
    processrunner::Result result;
    if (!runner || runner->state() == QProcess::NotRunning) {
        runner = std::make_unique<QProcess>();
        runner->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        runner->start(elevator, {runnerPath()});
        if (!runner->waitForStarted(-1)) {
            result.error = runner->errorString();
            runner.reset();
            return result;
        }
    }

    const QByteArray request = "RUN " + QJsonDocument(QJsonArray::fromStringList(command)).toJson(QJsonDocument::Compact) + '\n';
    runner->write(request);
    runner->waitForBytesWritten(-1);

    for (;;) {
        while (!runner->canReadLine()) {
            if (runner->state() == QProcess::NotRunning) {
                // Authorization refused or the runner died: nothing ran to its end.
                result.error = QStringLiteral("the privileged runner ended with status %1").arg(runner->exitCode());
                runner.reset();
                return result;
            }
            runner->waitForReadyRead(250);
        }
        const QString line = QString::fromUtf8(runner->readLine()).chopped(1);
        if (line.startsWith(QLatin1String("OUT "))) {
            onLine(line.mid(4));
        } else if (line.startsWith(QLatin1String("EXIT "))) {
            result.ending = processrunner::Result::Ending::Exited;
            result.exitCode = line.mid(5).toInt();
            return result;
        } else if (line.startsWith(QLatin1String("SIGNAL"))) {
            result.ending = processrunner::Result::Ending::Signalled;
            return result;
        } else if (line.startsWith(QLatin1String("NOSTART "))) {
            result.error = line.mid(8);
            return result;
        }
    }
}

OSHelper::OSHelper()
    : m_opaque(std::make_unique<Opaque>())
{
    if (::geteuid() != 0)
        m_opaque->elevator = QStringLiteral("pkexec");
}

OSHelper::~OSHelper()
{
    if (m_opaque->runner) {
        m_opaque->runner->closeWriteChannel(); // the runner ends at the end of its input
        if (!m_opaque->runner->waitForFinished(5000))
            m_opaque->runner->kill();
    }
}

void OSHelper::setElevator(const QString &program)
{
    m_opaque->elevator = program;
}

QString OSHelper::elevator() const
{
    return m_opaque->elevator;
}

int OSHelper::executeProcessWithPrivileges(QList<QString> &command, QList<QString> successMarkers)
{
    qDebug() << "Output for" << command << ":";
    QString output;
    auto collect = [&output](const QString &line) {
        qDebug().noquote() << line;
        output += line + QLatin1Char('\n');
    };

    const processrunner::Result result = m_opaque->elevator.isEmpty()
        ? processrunner::run(command, collect)
        : m_opaque->runElevated(command, collect);

    switch (result.ending) {
    case processrunner::Result::Ending::FailedToStart:
        qWarning() << "OSHelper::executeProcessWithPrivileges -> failed to run" << command.value(0)
                   << "with administrator rights:" << result.error;
        return -1;
    case processrunner::Result::Ending::Signalled:
        return -1;
    case processrunner::Result::Ending::Exited:
        break;
    }
    if (result.exitCode != 0) {
        for (const QString &marker : successMarkers) {
            if (output.contains(marker, Qt::CaseInsensitive))
                return 0;
        }
    }
    return result.exitCode;
}

int OSHelper::installPkg(const QString &pkgPath, const QString &target, QList<QString> extraArguments)
{
    if (pkgPath.endsWith(QLatin1String(".deb"), Qt::CaseInsensitive)) {
        // apt-get resolves the package's dependencies; the package knows where it goes.
        QList<QString> command{QStringLiteral("/usr/bin/apt-get"), QStringLiteral("install"), QStringLiteral("-y"),
                               QStringLiteral("--allow-downgrades"), QFileInfo(pkgPath).absoluteFilePath()};
        command += extraArguments;
        return executeProcessWithPrivileges(command, {});
    }

    QList<QString> command{QStringLiteral("/bin/sh"), pkgPath, target};
    command += extraArguments;
    if (isScriptForUser(pkgPath)) {
        OSHelper direct;
        direct.setElevator(QString());
        return direct.executeProcessWithPrivileges(command, {successMarker});
    }
    return executeProcessWithPrivileges(command, {successMarker});
}

bool OSHelper::installAssetsPkg(QString resourcePath, const QString &target, QList<QString> extraArguments)
{
    const QString path = extractAssetsFile(resourcePath);
    if (path.isEmpty())
        return false;
    return installPkg(path, target, extraArguments) == 0;
}

QString OSHelper::extractAssetsFile(QString resourcePath)
{
    const QString directory = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    QDir().mkpath(directory);
    const QString name = QStringLiteral("tmp_%1_%2").arg(QCoreApplication::applicationVersion(),
                                                         QFileInfo(resourcePath).fileName());
    const QString path = QDir::toNativeSeparators(directory + QLatin1Char('/') + name);
    QFile::remove(path);

    QFile output(path);
    if (!output.open(QIODevice::WriteOnly)) {
        qWarning() << "Unable to open output file to dump " << path;
        return QString();
    }
    QFile input(resourcePath);
    if (!input.open(QIODevice::ReadOnly)) {
        qWarning() << "Unable to open input asset" << resourcePath;
        return QString();
    }
    const QByteArray data = input.readAll();
    if (output.write(data) < data.size()) {
        qWarning() << "Error dumping asset file" << resourcePath << "to" << path;
        return QString();
    }
    return path;
}

bool OSHelper::makeFileExecutable(const QString &path)
{
    QFile file(path);
    if (!file.exists()) {
        qWarning() << "File does not exist:" << path;
        return false;
    }
    if (!file.setPermissions(file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup
                             | QFileDevice::ExeOther)) {
        qWarning() << "Failed to set executable permissions on file:" << path;
        return false;
    }
    qDebug() << "Successfully set executable permissions on file:" << path;
    return true;
}

bool OSHelper::openAppBundle(const QString &bundlePath, QList<QString> arguments)
{
    const bool started = QProcess::startDetached(bundlePath + QStringLiteral("/bin/") + executableName, arguments);
    if (started)
        qDebug() << "Open command executed successfully.";
    else
        qWarning() << "Failed to start the open command.";
    return started;
}

bool OSHelper::moveAppToApplications()
{
    const QString script = extractAssetsFile(QStringLiteral(":/installer/linux/move_to_applications"));
    if (script.isEmpty() || !makeFileExecutable(script))
        return false;

    const QString source = getAppBundlePath();
    const QString destination = getInstallationBundlePath();
    QList<QString> command{script, QStringLiteral("Talvento Control"), source, destination};
    const int result = executeProcessWithPrivileges(command, {successMarker});
    if (result != 0) {
        qWarning() << "Failed to moveAppToApplications" << result;
        return false;
    }
    if (!QFileInfo::exists(destination)) {
        qWarning() << destination << "doesn't exist!";
        return false;
    }
    // The new copy waits for this process to end, then removes this copy.
    if (!openAppBundle(destination, {QStringLiteral("-s"), QStringLiteral("3000"), QStringLiteral("-b"), source})) {
        qWarning() << "Failed to open app bundle at" << destination;
        return false;
    }
    QThread::msleep(1000);
    ::exit(0);
}

QString OSHelper::getAppBundlePath()
{
    return QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/..")).absolutePath();
}

QString OSHelper::getAppBundleName()
{
    return QFileInfo(getAppBundlePath()).fileName();
}

QString OSHelper::getInstallationBundlePath()
{
    return installationPath;
}
