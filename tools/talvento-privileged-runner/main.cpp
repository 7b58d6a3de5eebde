// The privileged half of OSHelper: started once through pkexec, it runs each
// command it reads and streams back the command's output and how it ended.
//
// Input, one request per line:
//   RUN ["/path/tool","arg",...]        runs the command
//   INSTALL {"kind":"package"|"script","file":"...","sha256":"...","arguments":[...]}
//                                       copies the staged file into a folder of its own,
//                                       checks the copy, runs it from there and removes it
//   LIMIT <ms>                          the time limit of later commands (0: none)
// Output, per RUN or INSTALL:  OUT <line>...  then  EXIT <code> | SIGNAL | NOSTART <reason>
//                                                     | TIMEOUT <reason>
// Commands read /dev/null as their standard input. The runner ends when its input ends, that
// is when the OSHelper that started it goes.

#include "app/system/processrunner.h"
#include "app/system/rootinstall.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

void reply(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void replyOutput(const QString &out)
{
    reply("OUT " + out.toUtf8());
}

void replyEnding(const processrunner::Result &result)
{
    switch (result.ending) {
    case processrunner::Result::Ending::FailedToStart:
        reply("NOSTART " + result.error.toUtf8());
        break;
    case processrunner::Result::Ending::Signalled:
        reply("SIGNAL");
        break;
    case processrunner::Result::Ending::TimedOut:
        reply("TIMEOUT " + result.error.toUtf8());
        break;
    case processrunner::Result::Ending::Exited:
        reply("EXIT " + QByteArray::number(result.exitCode));
        break;
    }
}

QStringList strings(const QJsonArray &array)
{
    QStringList list;
    for (const QJsonValue &value : array)
        list << value.toString();
    return list;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int timeLimitMs = processrunner::DefaultTimeLimitMs;
    std::string request;
    while (std::getline(std::cin, request)) {
        const QByteArray line = QByteArray::fromStdString(request);
        if (line.startsWith("LIMIT ")) {
            timeLimitMs = std::max(0, line.mid(6).trimmed().toInt());
            continue;
        }
        if (line.startsWith("INSTALL ")) {
            const QJsonObject object = QJsonDocument::fromJson(line.mid(8)).object();
            rootinstall::Request install;
            install.kind = object.value(QLatin1String("kind")).toString() == QLatin1String("script")
                ? rootinstall::Request::Kind::Script
                : rootinstall::Request::Kind::Package;
            install.file = object.value(QLatin1String("file")).toString();
            install.sha256 = object.value(QLatin1String("sha256")).toString();
            install.arguments = strings(object.value(QLatin1String("arguments")).toArray());
            replyEnding(rootinstall::install(install, replyOutput, timeLimitMs));
            continue;
        }
        if (!line.startsWith("RUN ")) {
            reply("NOSTART malformed request");
            continue;
        }
        const QStringList command = strings(QJsonDocument::fromJson(line.mid(4)).array());
        if (command.isEmpty() || command.first().isEmpty()) {
            reply("NOSTART empty command");
            continue;
        }
        replyEnding(processrunner::run(command, replyOutput, timeLimitMs));
    }
    return 0;
}
