#include "app/control/controlclient.h"

#include "app/control/controlkeys.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QList>
#include <QTextStream>

#include <cstdio>

namespace control {
namespace {

enum Exit { Done = 0, NotRunning = 1, BadInput = 2, Refused = 3 };

struct Command
{
    enum Kind { Set, Get, Toggle, List } kind;
    const Key *key = nullptr;
    QVariant value;
};

const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

bool isCommandOption(const QString &arg)
{
    return arg == "--set" || arg == "--get" || arg == "--toggle" || arg == "--list";
}

const Key *knownKey(const QString &name, QString *error)
{
    const Key *key = findByName(name);
    if (!key)
        *error = QStringLiteral("unknown key \"%1\" (talvento-control --list shows them)").arg(name);
    return key;
}

// The commands in order; false with a message naming the key or argument at fault.
bool parse(const QStringList &args, QList<Command> &commands, QString *error)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (arg == "--list") {
            commands.append(Command { Command::List, nullptr, {} });
            continue;
        }
        if (arg == "--set") {
            int pairs = 0;
            for (; i + 1 < args.size() && !args.at(i + 1).startsWith("--"); ++pairs) {
                const QString pair = args.at(++i);
                const qsizetype equals = pair.indexOf('=');
                if (equals < 0) {
                    *error = QStringLiteral("\"%1\" is not KEY=VALUE").arg(pair);
                    return false;
                }
                const Key *key = knownKey(pair.left(equals), error);
                if (!key)
                    return false;
                if (!key->writable) {
                    *error = QStringLiteral("%1 is read-only").arg(key->name);
                    return false;
                }
                const QVariant value = parseValue(*key, pair.mid(equals + 1), error);
                if (!value.isValid())
                    return false;
                commands.append(Command { Command::Set, key, value });
            }
            if (pairs == 0) {
                *error = QStringLiteral("--set needs KEY=VALUE");
                return false;
            }
            continue;
        }
        if (arg == "--get" || arg == "--toggle") {
            if (i + 1 >= args.size()) {
                *error = QStringLiteral("%1 needs a key").arg(arg);
                return false;
            }
            const Key *key = knownKey(args.at(++i), error);
            if (!key)
                return false;
            if (arg == "--toggle" && !isToggleable(*key)) {
                *error = QStringLiteral("%1 cannot be toggled").arg(key->name);
                return false;
            }
            commands.append(Command { arg == "--get" ? Command::Get : Command::Toggle, key, {} });
            continue;
        }
        *error = QStringLiteral("unknown argument \"%1\" beside --set, --get, --toggle and --list").arg(arg);
        return false;
    }
    return true;
}

QDBusMessage call(const QDBusConnection &bus, const QString &interface, const QString &method,
                  const QList<QVariant> &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(QString::fromLatin1(serviceName),
                                                          QString::fromLatin1(objectPath), interface, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, 10000);
}

QDBusConnection runningInstance()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(QString::fromLatin1(serviceName)))
        return QDBusConnection(QString());
    return bus;
}

// The exit code of a refused call: bad values are the caller's, anything else the instance's.
int failed(const Command &command, const QDBusMessage &reply)
{
    err() << "talvento-control: " << (command.key ? command.key->name + ": " : QString()) << reply.errorMessage()
          << Qt::endl;
    if (reply.errorName() == "org.freedesktop.DBus.Error.InvalidArgs")
        return BadInput;
    if (reply.errorName() == "org.freedesktop.DBus.Error.ServiceUnknown"
        || reply.errorName() == "org.freedesktop.DBus.Error.NoReply")
        return NotRunning;
    return Refused;
}

int run(const QDBusConnection &bus, const Command &command)
{
    const QString interface = QString::fromLatin1(interfaceName);
    QDBusMessage reply;
    switch (command.kind) {
    case Command::Set:
        reply = call(bus, propertiesInterface, "Set",
                     { interface, command.key->property, QVariant::fromValue(QDBusVariant(command.value)) });
        break;
    case Command::Get:
        reply = call(bus, propertiesInterface, "Get", { interface, command.key->property });
        if (reply.type() == QDBusMessage::ReplyMessage)
            out() << formatValue(*command.key, reply.arguments().value(0).value<QDBusVariant>().variant()) << Qt::endl;
        break;
    case Command::Toggle:
        reply = call(bus, interface, "Toggle", { command.key->property });
        if (reply.type() == QDBusMessage::ReplyMessage)
            out() << command.key->name << '='
                  << formatValue(*command.key, reply.arguments().value(0).value<QDBusVariant>().variant())
                  << Qt::endl;
        break;
    case Command::List: {
        reply = call(bus, propertiesInterface, "GetAll", { interface });
        if (reply.type() != QDBusMessage::ReplyMessage)
            break;
        const QVariantMap all = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        for (const Key &key : keys()) {
            if (all.contains(key.property))
                out() << key.name << '=' << formatValue(key, all.value(key.property))
                      << (key.writable ? "" : " (read-only)") << Qt::endl;
        }
        break;
    }
    }
    return reply.type() == QDBusMessage::ErrorMessage ? failed(command, reply) : Done;
}

} // namespace

int runCommands(int argc, char **argv)
{
    bool wanted = false;
    for (int i = 1; i < argc && !wanted; ++i)
        wanted = isCommandOption(QString::fromLocal8Bit(argv[i]));
    if (!wanted)
        return -1;

    QCoreApplication app(argc, argv);
    QList<Command> commands;
    QString error;
    if (!parse(QCoreApplication::arguments(), commands, &error)) {
        err() << "talvento-control: " << error << Qt::endl;
        return BadInput;
    }
    const QDBusConnection bus = runningInstance();
    if (!bus.isConnected()) {
        err() << "talvento-control: Talvento Control is not running (nothing owns " << serviceName
              << " on the session bus)" << Qt::endl;
        return NotRunning;
    }
    for (const Command &command : std::as_const(commands)) {
        if (const int code = run(bus, command))
            return code;
    }
    return Done;
}

bool showRunningWindow()
{
    const QDBusConnection bus = runningInstance();
    if (!bus.isConnected())
        return false;
    return call(bus, QString::fromLatin1(interfaceName), "ShowWindow", {}).type() == QDBusMessage::ReplyMessage;
}

} // namespace control
