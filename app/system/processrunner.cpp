#include "app/system/processrunner.h"

#include <QProcess>

namespace processrunner {

Result run(const QStringList &command, const std::function<void(const QString &line)> &onLine)
{
    Result result;
    if (command.isEmpty()) {
        result.error = QStringLiteral("empty command");
        return result;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    // Read-only: the child gets no standard input, so it can never eat the
    // command stream of the privileged runner that may be its parent.
    process.start(command.first(), command.mid(1), QIODevice::ReadOnly);
    if (!process.waitForStarted(-1)) {
        result.error = process.errorString();
        return result;
    }

    auto forwardLines = [&] {
        while (process.canReadLine())
            onLine(QString::fromUtf8(process.readLine()).chopped(1));
    };
    while (process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(250);
        forwardLines();
    }
    forwardLines();
    const QByteArray rest = process.readAll();
    if (!rest.isEmpty())
        onLine(QString::fromUtf8(rest));

    if (process.exitStatus() == QProcess::CrashExit) {
        result.ending = Result::Ending::Signalled;
    } else {
        result.ending = Result::Ending::Exited;
        result.exitCode = process.exitCode();
    }
    return result;
}

} // namespace processrunner
