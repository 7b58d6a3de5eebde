#pragma once

#include "app/core/basesettings.h"

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QHash>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>

class LightController;
class PostProcessor;
class QWidget;

/// The running application's interface on the session bus: its settings as properties of
/// org.talvento.Control1 at /org/talvento/Control (name org.talvento.Control), the methods
/// ShowWindow, Quit and Toggle, and PropertiesChanged whenever a value changes, whoever changed
/// it. Writes go through the same setters, ranges and store entries as the settings window; a
/// value the window could not set is refused with an error and changes nothing.
class ControlService : public QDBusVirtualObject
{
    Q_OBJECT
public:
    /// What the service reads and drives. An accessor may return null (not created yet, or shut
    /// down); the properties that need it then answer that they are unavailable.
    struct Components
    {
        BaseSettings *settings = nullptr;
        std::function<PostProcessor *()> effects;
        std::function<LightController *()> light;
        std::function<QWidget *()> window;
        std::function<bool()> cameraInUse;
        std::function<void()> showWindow;
        std::function<void()> quit;
        std::function<void(bool)> startAtLogin;
        QString version;
    };

    /// A refused call: a D-Bus error name and a message for people; no name on success.
    struct Failure
    {
        QString name;
        QString message;
        bool failed() const { return !name.isEmpty(); }
    };

    static constexpr char unavailableError[] = "org.talvento.Control1.Error.Unavailable";

    explicit ControlService(Components components, QObject *parent = nullptr);
    ~ControlService() override;

    /// Exports the object and takes the service name. False (and logged) when the bus cannot be
    /// reached or another process owns the name.
    bool publish(const QDBusConnection &bus);

    // GUI thread.
    /// The property's current value; invalid with a failure for an unknown or unavailable one.
    QVariant read(const QString &property, Failure *failure = nullptr) const;
    /// Sets a property as a bus client does.
    Failure write(const QString &property, const QVariant &value);
    /// Flips a switch, or turns a whole number with an "off" at 0 off or back on at its last
    /// value. The new value, or invalid with a failure.
    QVariant toggle(const QString &property, Failure *failure);
    /// Every readable property with its value.
    QVariantMap readAll() const;

    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

public slots:
    /// Compares every property with what was last announced and announces the differences in
    /// one PropertiesChanged, soon and once however often it is called meanwhile.
    void announceChanges();

signals:
    /// The properties just announced, with their new values.
    void propertiesChanged(const QVariantMap &changed);

protected:
    /// Watches the settings window shown and hidden.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Binding
    {
        std::function<QVariant()> get;                   // invalid: unavailable now
        std::function<bool(qint64 &, qint64 &)> range;  // whole numbers: false when unavailable
        std::function<Failure(const QVariant &)> set;    // given a checked value
    };

    void bindAll();
    template <typename Controller, typename Getter, typename Setter, typename Signal>
    Binding controllerBinding(std::function<Controller *()> controller, Getter get, Setter set, Signal signal,
                              const QString &missing);
    Binding entryBinding(BaseSettings::Settings group, BaseSettings::SubSettings entry, qint64 minimum = 0,
                         qint64 maximum = 100);
    Failure check(const QString &property, const QVariant &value, QVariant &checked) const;
    void emitChanges();
    void reply(const QDBusMessage &message, const QDBusConnection &connection, const QVariant &result,
               const Failure &failure) const;

    Components m_components;
    QHash<QString, Binding> m_bindings;
    QVariantMap m_announced;
    QHash<QString, int> m_lastOn;
    QDBusConnection m_bus;
    bool m_published = false;
    bool m_announcePending = false;
};
