// talvento-settings: prints or changes the application's settings store, through the same
// store class the application reads at start.
//   talvento-settings dump
//   talvento-settings set <Setting> <value>
//   talvento-settings set <Group> <Entry> <value>
//   talvento-settings set-file <Group> <Entry> <file>     (the file's bytes, e.g. a logo)
// Values: true/false, integers and decimals are stored as such, anything else as text.

#include "app/core/basesettings.h"

#include <QColor>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <QStringList>
#include <QTextStream>

#include <cstdio>
#include <optional>

namespace {

int fail(const QString &message)
{
    std::fprintf(stderr, "talvento-settings: %s\n", qPrintable(message));
    return 1;
}

template<typename Enum>
std::optional<Enum> enumerator(const QString &key)
{
    bool ok = false;
    const int value = QMetaEnum::fromType<Enum>().keyToValue(key.toLatin1().constData(), &ok);
    return ok ? std::optional<Enum>(Enum(value)) : std::nullopt;
}

QVariant parse(const QString &text)
{
    if (text == QLatin1String("true") || text == QLatin1String("false"))
        return text == QLatin1String("true");
    bool ok = false;
    if (const qlonglong whole = text.toLongLong(&ok); ok)
        return whole;
    if (const double real = text.toDouble(&ok); ok)
        return real;
    return text;
}

// One line per value; binary data by size and digest so that a change shows.
QString show(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return QStringLiteral("<%1 bytes, sha1 %2>")
            .arg(bytes.size())
            .arg(QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex()));
    }
    case QMetaType::QColor:
        return value.value<QColor>().name(QColor::HexArgb);
    case QMetaType::QStringList:
        return value.toStringList().join(QLatin1Char(','));
    default:
        return value.toString();
    }
}

// Every stored key in order; a group map is spread over one "Group/Entry" line per entry.
int dump(BaseSettings &store)
{
    QTextStream out(stdout);
    QStringList keys = store.allKeys();
    keys.sort();
    for (const QString &key : std::as_const(keys)) {
        const QVariant value = store.value(key);
        if (value.metaType().id() != QMetaType::QVariantMap) {
            out << key << '=' << show(value) << '\n';
            continue;
        }
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            out << key << '/' << it.key() << '=' << show(it.value()) << '\n';
    }
    return 0;
}

int set(BaseSettings &store, const QStringList &args, bool fromFile)
{
    const auto setting = enumerator<BaseSettings::Settings>(args.value(0));
    if (!setting)
        return fail(QStringLiteral("unknown setting %1").arg(args.value(0)));
    if (!BaseSettings::isGroup(*setting)) {
        if (args.size() != 2 || fromFile)
            return fail(QStringLiteral("%1 takes one value").arg(args.value(0)));
        store.setSetting(*setting, parse(args.at(1)));
        return 0;
    }
    if (args.size() != 3)
        return fail(QStringLiteral("%1 takes an entry and a value").arg(args.value(0)));
    const auto entry = enumerator<BaseSettings::SubSettings>(args.at(1));
    if (!entry)
        return fail(QStringLiteral("unknown entry %1").arg(args.at(1)));
    QVariant value = parse(args.at(2));
    if (fromFile) {
        QFile file(args.at(2));
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1").arg(args.at(2)));
        value = file.readAll();
    }
    store.setSubSetting(*setting, *entry, value);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); // the store's own chatter
    const QStringList args = app.arguments().mid(1);
    const QString command = args.value(0);
    BaseSettings store;
    if (command == QLatin1String("dump") && args.size() == 1)
        return dump(store);
    if (command == QLatin1String("set") || command == QLatin1String("set-file")) {
        const int result = set(store, args.mid(1), command == QLatin1String("set-file"));
        store.sync();
        return result != 0 || store.status() == QSettings::NoError ? result : fail(QStringLiteral("cannot write the store"));
    }
    return fail(QStringLiteral("usage: dump | set <Setting> <value> | set <Group> <Entry> <value> | "
                               "set-file <Group> <Entry> <file>"));
}
