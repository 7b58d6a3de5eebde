#include "app/system/oshelper.h"

#include "app/system/processrunner.h"
#include "app/system/rootinstall.h"
#include "app/system/runtimedir.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <mutex>

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

bool isScriptForUser(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return file.read(4096).contains(runAsUserTag);
}

// This run's staging folder, made on first use and removed at the process's end.
std::mutex g_stagingLock;
std::unique_ptr<QTemporaryDir> g_staging; // guarded by g_stagingLock

std::unique_ptr<QTemporaryDir> makeStagingFolder(const QString &base)
{
    auto folder = std::make_unique<QTemporaryDir>(base + QStringLiteral("/talvento-stage-XXXXXX"));
    if (!folder->isValid() || !runtimedir::isPrivate(folder->path()))
        return nullptr;
    return folder;
}

} // namespace

// The privileged runner of this object: started on the first privileged run
// and fed one request per line until the object goes.
struct OSHelper::Opaque
{
    QString elevator;
    QString runnerPath = installationPath + QStringLiteral("/bin/") + runnerName;
    int timeLimitMs = processrunner::DefaultTimeLimitMs;
    std::function<void(const QString &)> outputHandler;
    std::unique_ptr<QProcess> runner;
    int limitSent = -1; // the runner's time limit, -1 before it was told

    processrunner::Result run(const QStringList &command, const std::function<void(const QString &)> &onLine);
    processrunner::Result install(const rootinstall::Request &request,
                                  const std::function<void(const QString &)> &onLine);

private:
    bool hasRunner() const { return QFileInfo(runnerPath).isExecutable(); }
    processrunner::Result elevateDirectly(const QStringList &command, const std::function<void(const QString &)> &onLine);
    processrunner::Result ask(const QByteArray &request, const std::function<void(const QString &)> &onLine);
};

processrunner::Result OSHelper::Opaque::run(const QStringList &command,
                                            const std::function<void(const QString &)> &onLine)
{
    if (elevator.isEmpty())
        return processrunner::run(command, onLine, timeLimitMs);
    if (!hasRunner())
        return elevateDirectly(command, onLine);
    return ask("RUN " + QJsonDocument(QJsonArray::fromStringList(command)).toJson(QJsonDocument::Compact), onLine);
}

processrunner::Result OSHelper::Opaque::install(const rootinstall::Request &request,
                                                const std::function<void(const QString &)> &onLine)
{
    if (elevator.isEmpty())
        return rootinstall::install(request, onLine, timeLimitMs);
    const bool package = request.kind == rootinstall::Request::Kind::Package;
    if (!hasRunner()) {
        // Without an installed runner (a copy that is not installed yet) the staged file, in a
        // folder only this user can enter, is run directly.
        QStringList command = package ? rootinstall::packageCommand(request.file)
                                      : QStringList{QStringLiteral("/bin/sh"), request.file};
        return elevateDirectly(command + request.arguments, onLine);
    }
    const QJsonObject object{{QStringLiteral("kind"), package ? QStringLiteral("package") : QStringLiteral("script")},
                             {QStringLiteral("file"), request.file},
                             {QStringLiteral("sha256"), request.sha256},
                             {QStringLiteral("arguments"), QJsonArray::fromStringList(request.arguments)}};
    return ask("INSTALL " + QJsonDocument(object).toJson(QJsonDocument::Compact), onLine);
}

processrunner::Result OSHelper::Opaque::elevateDirectly(const QStringList &command,
                                                        const std::function<void(const QString &)> &onLine)
{
    processrunner::Result result = processrunner::run(QStringList{elevator} + command, onLine, timeLimitMs);
    // pkexec's own statuses: the administrator dismissed the dialog, or was not authorized.
    if (result.ending == processrunner::Result::Ending::Exited && (result.exitCode == 126 || result.exitCode == 127)) {
        result.ending = processrunner::Result::Ending::FailedToStart;
        result.error = QStringLiteral("%1 refused or could not run it (status %2)").arg(elevator).arg(result.exitCode);
    }
    return result;
}

processrunner::Result OSHelper::Opaque::ask(const QByteArray &request,
                                            const std::function<void(const QString &)> &onLine)
{
    processrunner::Result result;
    if (!runner || runner->state() == QProcess::NotRunning) {
        runner = std::make_unique<QProcess>();
        runner->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        runner->start(elevator, {runnerPath});
        limitSent = -1;
        if (!runner->waitForStarted(-1)) {
            result.error = runner->errorString();
            runner.reset();
            return result;
        }
    }
    if (limitSent != timeLimitMs) {
        runner->write("LIMIT " + QByteArray::number(timeLimitMs) + '\n');
        limitSent = timeLimitMs;
    }
    runner->write(request + '\n');
    runner->waitForBytesWritten(-1);

    // The runner keeps the limit; this side only gives up on a runner that stopped answering.
    const QDeadlineTimer deadline = timeLimitMs > 0 ? QDeadlineTimer(timeLimitMs + 60000)
                                                    : QDeadlineTimer(QDeadlineTimer::Forever);
    for (;;) {
        while (!runner->canReadLine()) {
            if (runner->state() == QProcess::NotRunning) {
                // Authorization refused or the runner died: nothing ran to its end.
                result.error = QStringLiteral("the privileged runner ended with status %1").arg(runner->exitCode());
                runner.reset();
                return result;
            }
            if (deadline.hasExpired()) {
                result.ending = processrunner::Result::Ending::TimedOut;
                result.error = QStringLiteral("the privileged runner stopped answering");
                runner->kill();
                runner->waitForFinished(5000);
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
        } else if (line.startsWith(QLatin1String("TIMEOUT "))) {
            result.ending = processrunner::Result::Ending::TimedOut;
            result.error = line.mid(8);
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

void OSHelper::setRunnerPath(const QString &path)
{
    m_opaque->runnerPath = path;
}

void OSHelper::setOutputHandler(std::function<void(const QString &)> handler)
{
    m_opaque->outputHandler = std::move(handler);
}

QString OSHelper::runnerPath() const
{
    return m_opaque->runnerPath;
}

void OSHelper::setTimeLimit(int ms)
{
    m_opaque->timeLimitMs = std::max(0, ms);
}

namespace {

// The run's result as the callers know it: the exit code, 0 when a success marker was printed,
// -1 when nothing ran to its end.
int outcome(const processrunner::Result &result, const QString &output, const QList<QString> &successMarkers,
            const QString &what)
{
    switch (result.ending) {
    case processrunner::Result::Ending::FailedToStart:
        qWarning().noquote() << "OSHelper::executeProcessWithPrivileges -> failed to run" << what
                             << "with administrator rights:" << result.error;
        return -1;
    case processrunner::Result::Ending::TimedOut:
        qWarning().noquote() << "OSHelper::executeProcessWithPrivileges ->" << result.error;
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

// Collects the output of a run and logs it line by line, handing each line on when asked.
struct OutputLog
{
    std::function<void(const QString &)> forward;
    QString text;
    std::function<void(const QString &)> collector()
    {
        return [this](const QString &line) {
            qDebug().noquote() << line;
            text += line + QLatin1Char('\n');
            if (forward)
                forward(line);
        };
    }
};

} // namespace

int OSHelper::executeProcessWithPrivileges(QList<QString> &command, QList<QString> successMarkers)
{
    qDebug() << "Output for" << command << ":";
    OutputLog output{m_opaque->outputHandler, {}};
    const processrunner::Result result = m_opaque->run(command, output.collector());
    return outcome(result, output.text, successMarkers, command.value(0));
}

int OSHelper::installPkg(const QString &pkgPath, const QString &target, QList<QString> extraArguments,
                         const QString &sha256)
{
    rootinstall::Request request;
    request.file = QFileInfo(pkgPath).absoluteFilePath();
    request.sha256 = sha256;
    if (pkgPath.endsWith(QLatin1String(".deb"), Qt::CaseInsensitive)) {
        // apt-get resolves the package's dependencies; the package knows where it goes.
        request.kind = rootinstall::Request::Kind::Package;
        request.arguments = extraArguments;
    } else {
        request.kind = rootinstall::Request::Kind::Script;
        request.arguments = QStringList{target} + extraArguments;
        if (isScriptForUser(pkgPath)) {
            OSHelper direct;
            direct.setElevator(QString());
            QList<QString> command = QStringList{QStringLiteral("/bin/sh"), pkgPath} + request.arguments;
            return direct.executeProcessWithPrivileges(command, {successMarker});
        }
    }
    const QStringList markers = request.kind == rootinstall::Request::Kind::Script ? QStringList{successMarker} : QStringList{};
    qDebug() << "Output for" << request.file << request.arguments << ":";
    OutputLog output{m_opaque->outputHandler, {}};
    const processrunner::Result result = m_opaque->install(request, output.collector());
    return outcome(result, output.text, markers, request.file);
}

bool OSHelper::installAssetsPkg(QString resourcePath, const QString &target, QList<QString> extraArguments)
{
    const QString path = extractAssetsFile(resourcePath);
    if (path.isEmpty())
        return false;
    return installPkg(path, target, extraArguments) == 0;
}

QString OSHelper::stagingFolder()
{
    std::lock_guard lock(g_stagingLock);
    if (!g_staging) {
        const QString runtime = runtimedir::path();
        if (!runtime.isEmpty())
            g_staging = makeStagingFolder(runtime);
        if (!g_staging)
            g_staging = makeStagingFolder(QDir::tempPath());
        if (!g_staging) {
            qWarning() << "OSHelper::stagingFolder -> cannot make a private staging folder";
            return QString();
        }
    }
    return g_staging->path();
}

QString OSHelper::stageFile(const QString &name, const QByteArray &data)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") || name == QLatin1String(".."))
        return QString();
    const QString folder = stagingFolder();
    if (folder.isEmpty())
        return QString();
    const QString path = QDir::toNativeSeparators(folder + QLatin1Char('/') + name);
    ::unlink(QFile::encodeName(path).constData()); // an earlier copy of this run; the folder is ours alone
    // Nothing half-written is left behind that could be run.
    QString error;
    if (!rootinstall::writeNewFile(path, data, error)) {
        qWarning().noquote() << "OSHelper::stageFile ->" << error;
        return QString();
    }
    return path;
}

QString OSHelper::extractAssetsFile(QString resourcePath)
{
    QFile input(resourcePath);
    if (!input.open(QIODevice::ReadOnly)) {
        qWarning() << "Unable to open input asset" << resourcePath;
        return QString();
    }
    const QByteArray data = input.readAll();
    const QString name = QStringLiteral("tmp_%1_%2").arg(QCoreApplication::applicationVersion(),
                                                         QFileInfo(resourcePath).fileName());
    if (stagingFolder().isEmpty()) {
        qWarning() << "Unable to open output file to dump " << name;
        return QString();
    }
    const QString path = stageFile(name, data);
    if (path.isEmpty()) {
        qWarning() << "Error dumping asset file" << resourcePath << "to" << stagingFolder() + QLatin1Char('/') + name;
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
    // Root runs its own copy of the script, not the staged file.
    rootinstall::Request request;
    request.kind = rootinstall::Request::Kind::Script;
    request.file = script;
    request.arguments = QStringList{QStringLiteral("Talvento Control"), source, destination};
    qDebug() << "Output for" << script << request.arguments << ":";
    OutputLog output{m_opaque->outputHandler, {}};
    const int result = outcome(m_opaque->install(request, output.collector()), output.text, {successMarker}, script);
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
