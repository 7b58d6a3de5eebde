#pragma once

#include <QList>
#include <QString>
#include <QVariant>

/// The names and value types of what the running application offers on the session bus, shared
/// by the service and by the command line that talks to it.
namespace control {

inline constexpr char serviceName[] = "org.talvento.Control";
inline constexpr char objectPath[] = "/org/talvento/Control";
inline constexpr char interfaceName[] = "org.talvento.Control1";

enum class Type { Int, Bool, Text };

struct Key
{
    /// The bus property, in CamelCase ("BackgroundBlur").
    QString property;
    /// The command-line key, in kebab case ("background-blur").
    QString name;
    Type type;
    bool writable;
    /// For a whole number that has an "off" at 0: the value toggling it on falls back to when
    /// no earlier value is known; 0 when it cannot be toggled.
    int toggleOnValue = 0;
};

/// Every property, in the order --list prints them.
const QList<Key> &keys();
const Key *findByName(const QString &name);
const Key *findByProperty(const QString &property);
/// The D-Bus type signature of a type ("i", "b", "s").
QString signature(Type type);
bool isToggleable(const Key &key);

/// A command-line value for the key's type: whole numbers in decimal, switches as on/off,
/// true/false, yes/no or 1/0, text as it is. An invalid variant and a message on failure.
QVariant parseValue(const Key &key, const QString &text, QString *error);
/// A value as the command line prints it: switches as on/off.
QString formatValue(const Key &key, const QVariant &value);

} // namespace control
