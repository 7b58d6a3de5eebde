#include "app/system/processrunner.h"

#include <QDeadlineTimer>
#include <QProcess>

#include <csignal>

#include <unistd.h>

namespace processrunner {

namespace {

// The program runs in a process group of its own, so that stopping it stops
// whatever it started too (apt-get's dpkg, dpkg's maintainer scripts).
void stopGroup(QProcess &process)
{
    const pid_t group = pid_t(process.processId());
    if (group <= 0)
        return;
    ::kill(-group, SIGTERM);
    if (!process.waitForFinished(3000)) {
        ::kill(-group, SIGKILL);
        process.waitForFinished(-1);
    }
}

} // namespace

Result run(const QStringList &command, const std::function<void(const QString &line)> &onLine, int timeLimitMs)
{
    Result result;
    if (command.isEmpty()) {
        result.error = QStringLiteral("empty command");
        return result;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    // No standard input: the child can neither wait for an answer nor eat the
    // command stream of the privileged runner that may be its parent.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    process.start(command.first(), command.mid(1), QIODevice::ReadOnly);
    if (!process.waitForStarted(-1)) {
        result.error = process.errorString();
        return result;
    }

    auto forwardLines = [&] {
        while (process.canReadLine())
            onLine(QString::fromUtf8(process.readLine()).chopped(1));
    };
    const QDeadlineTimer deadline = timeLimitMs > 0 ? QDeadlineTimer(timeLimitMs) : QDeadlineTimer(QDeadlineTimer::Forever);
    bool timedOut = false;
    while (process.state() != QProcess::NotRunning) {
        if (deadline.hasExpired()) {
            timedOut = true;
            stopGroup(process);
            break;
        }
        process.waitForReadyRead(250);
        forwardLines();
    }
    forwardLines();
    const QByteArray rest = process.readAll();
    if (!rest.isEmpty())
        onLine(QString::fromUtf8(rest));

    if (timedOut) {
        result.ending = Result::Ending::TimedOut;
        result.error = timeLimitText(command, timeLimitMs);
    } else if (process.exitStatus() == QProcess::CrashExit) {
        result.ending = Result::Ending::Signalled;
    } else {
        result.ending = Result::Ending::Exited;
        result.exitCode = process.exitCode();
    }
    return result;
}

QString timeLimitText(const QStringList &command, int timeLimitMs)
{
    return QStringLiteral("%1 ran past its time limit of %2 s and was stopped")
        .arg(command.value(0))
        .arg(timeLimitMs / 1000.0);
}

} // namespace processrunner
