#pragma once

#include <QString>
#include <QStringList>

#include <functional>

/// Runs a program to its end, handing each line of its merged standard output
/// and error to a callback as it arrives. Blocks the calling thread; needs no
/// event loop.
namespace processrunner {

struct Result
{
    enum class Ending { FailedToStart, Exited, Signalled };
    Ending ending = Ending::FailedToStart;
    int exitCode = -1; ///< valid when ending is Exited
    QString error;     ///< why it failed to start
};

/// `command` is the program followed by its arguments.
Result run(const QStringList &command, const std::function<void(const QString &line)> &onLine);

} // namespace processrunner
