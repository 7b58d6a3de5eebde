// The privileged half of OSHelper: started once through pkexec, it runs each
// command it reads and streams back the command's output and how it ended.
//
// Input, one request per line:   RUN ["/path/tool","arg",...]
// Output, per request:           OUT <line>...  then  EXIT <code> | SIGNAL | NOSTART <reason>
// It ends when its input ends, that is when the OSHelper that started it goes.

#include "app/system/processrunner.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>

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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::string request;
    while (std::getline(std::cin, request)) {
        const QByteArray line = QByteArray::fromStdString(request);
        if (!line.startsWith("RUN ")) {
            reply("NOSTART malformed request");
            continue;
        }
        const QJsonDocument document = QJsonDocument::fromJson(line.mid(4));
        QStringList command;
        for (const QJsonValue &value : document.array())
            command << value.toString();
        if (command.isEmpty() || command.first().isEmpty()) {
            reply("NOSTART empty command");
            continue;
        }
        const processrunner::Result result = processrunner::run(command, [](const QString &out) {
            reply("OUT " + out.toUtf8());
        });
        switch (result.ending) {
        case processrunner::Result::Ending::FailedToStart:
            reply("NOSTART " + result.error.toUtf8());
            break;
        case processrunner::Result::Ending::Signalled:
            reply("SIGNAL");
            break;
        case processrunner::Result::Ending::Exited:
            reply("EXIT " + QByteArray::number(result.exitCode));
            break;
        }
    }
    return 0;
}
