#pragma once

#include <QString>
#include <QStringList>

#include <functional>

/// Runs a program to its end, handing each line of its merged standard output
/// and error to a callback as it arrives. Blocks the calling thread; needs no
/// event loop. The program reads /dev/null as its standard input, so one that
/// asks a question gets the end of input at once instead of waiting for ever.
namespace processrunner {

struct Result
{
    enum class Ending { FailedToStart, Exited, Signalled, TimedOut };
    Ending ending = Ending::FailedToStart;
    int exitCode = -1; ///< valid when ending is Exited
    QString error;     ///< why it failed to start
};

/// How long a privileged command may run by default: long enough to build a
/// kernel module, short enough that a hung one does not stay for ever.
constexpr int DefaultTimeLimitMs = 30 * 60 * 1000;

/// `command` is the program followed by its arguments. With `timeLimitMs` > 0
/// a program still running after that long is stopped, together with every
/// process it started, and the run ends as TimedOut.
Result run(const QStringList &command, const std::function<void(const QString &line)> &onLine,
           int timeLimitMs = -1);

/// The message for a run that ended as TimedOut.
QString timeLimitText(const QStringList &command, int timeLimitMs);

} // namespace processrunner
