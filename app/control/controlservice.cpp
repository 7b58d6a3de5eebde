#include "app/control/controlservice.h"

#include "app/control/controlkeys.h"
#include "app/core/camerasetting.h"
#include "light/lightcontroller.h"
#include "video/postprocessor.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDebug>
#include <QEvent>
#include <QThread>
#include <QTimer>
#include <QWidget>

namespace {

const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString invalidArgs = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");

ControlService::Failure unavailable(const QString &why)
{
    return { QString::fromLatin1(ControlService::unavailableError), why };
}

// A whole number of any of the bus's integer types.
bool toWhole(const QVariant &value, qint64 &out)
{
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::UChar:
        break;
    default:
        return false;
    }
    bool ok = false;
    out = value.toLongLong(&ok);
    return ok;
}

bool isOneLine(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

} // namespace

ControlService::ControlService(Components components, QObject *parent)
    : QDBusVirtualObject(parent)
    , m_components(std::move(components))
    , m_bus(QString())
{
    bindAll();
    connect(m_components.settings, &BaseSettings::changed, this, &ControlService::announceChanges,
            Qt::QueuedConnection);
    m_announced = readAll();
}

ControlService::~ControlService()
{
    if (!m_published)
        return;
    m_bus.unregisterService(QString::fromLatin1(control::serviceName));
    m_bus.unregisterObject(QString::fromLatin1(control::objectPath));
    qDebug() << "ControlService DCTOR!";
}

template <typename Controller, typename Getter, typename Setter, typename Signal>
ControlService::Binding ControlService::controllerBinding(std::function<Controller *()> controller, Getter get,
                                                          Setter set, Signal signal, const QString &missing)
{
    Binding b;
    b.get = [controller, get]() -> QVariant {
        Controller *c = controller();
        CameraSetting setting;
        if (!c || !(c->*get)(setting))
            return {};
        return int(setting.value);
    };
    b.range = [controller, get](qint64 &minimum, qint64 &maximum) {
        Controller *c = controller();
        CameraSetting setting;
        if (!c || !(c->*get)(setting))
            return false;
        minimum = setting.minimum;
        maximum = setting.maximum;
        return true;
    };
    b.set = [controller, set, signal, missing](const QVariant &value) -> Failure {
        Controller *c = controller();
        const long v = value.toInt();
        if (!c || !(c->*set)(v, false))
            return unavailable(missing);
        // The window's row follows, as it does when the controller reports a value. The light's
        // rows follow the panel's own report instead: a row sends what it is told again, and
        // with a second value still on its way to the panel the two would chase each other.
        if (signal)
            emit(c->*signal)(v, false);
        return {};
    };
    return b;
}

ControlService::Binding ControlService::entryBinding(BaseSettings::Settings group, BaseSettings::SubSettings entry,
                                                     qint64 minimum, qint64 maximum)
{
    BaseSettings *settings = m_components.settings;
    Binding b;
    b.get = [settings, group, entry] { return settings->getSubSetting(group, entry); };
    b.range = [minimum, maximum](qint64 &low, qint64 &high) {
        low = minimum;
        high = maximum;
        return true;
    };
    b.set = [settings, group, entry](const QVariant &value) {
        settings->setSubSetting(group, entry, value);
        return Failure {};
    };
    return b;
}

void ControlService::bindAll()
{
    using S = BaseSettings;
    using P = PostProcessor;
    using L = LightController;
    const QString notStarted = tr("the video effects are not running yet");
    const QString noLight = tr("the light panel is not connected");
    auto effects = m_components.effects;
    auto light = m_components.light;

    m_bindings.insert("SkinTone", controllerBinding(effects, &P::getSkinTone, &P::setSkinTone, &P::onSkinTone,
                                                    notStarted));
    m_bindings.insert("BackgroundBlur", controllerBinding(effects, &P::getBackgroundBlur, &P::setBackgroundBlur,
                                                          &P::onBackgroundBlur, notStarted));
    m_bindings.insert("Rotation", controllerBinding(effects, &P::getCameraRotation, &P::setCameraRotation,
                                                    &P::onCameraRotation, notStarted));
    m_bindings.insert("FineRotation", controllerBinding(effects, &P::getFineCameraRotation,
                                                        &P::setFineCameraRotation, &P::onFineCameraRotation,
                                                        notStarted));
    using LightSignal = void (L::*)(long, bool);
    m_bindings.insert("LightBrightness", controllerBinding(light, &L::getBrightness, &L::setBrightness,
                                                           LightSignal {}, noLight));
    m_bindings.insert("LightTemperature", controllerBinding(light, &L::getTemperature, &L::setTemperature,
                                                            LightSignal {}, noLight));

    m_bindings.insert("LogoOverlay", entryBinding(S::LogoOverlay, S::Enabled));
    m_bindings.insert("TextOverlay", entryBinding(S::TextOverlay, S::Enabled));
    m_bindings.insert("TextLine1", entryBinding(S::TextOverlay, S::TextLine1));
    m_bindings.insert("TextLine2", entryBinding(S::TextOverlay, S::TextLine2));
    const struct
    {
        const char *property;
        S::Settings group;
    } filters[] = {
        { "NoiseSuppression", S::DSPRNN }, { "AutomaticGain", S::DSPAGC }, { "Bass", S::DSPBass },
        { "Treble", S::DSPTreble },        { "Compressor", S::DSPCompressor },
    };
    for (const auto &filter : filters) {
        const QString property = QString::fromLatin1(filter.property);
        m_bindings.insert(property, entryBinding(filter.group, S::Enabled));
        m_bindings.insert(property + "Strength", entryBinding(filter.group, S::DSP_Strength));
    }
    m_bindings.insert("LightFollowsCamera", entryBinding(S::General, S::LightFollowsCamera));
    m_bindings.insert("MirrorPreview", entryBinding(S::General, S::FlipHorizontal));
    m_bindings.insert("LowPowerMode", entryBinding(S::General, S::LowPowerMode));
    Binding login = entryBinding(S::General, S::StartAtLogin);
    login.set = [settings = m_components.settings, startAtLogin = m_components.startAtLogin](const QVariant &v) {
        settings->setSubSetting(S::General, S::StartAtLogin, v);
        if (startAtLogin)
            startAtLogin(v.toBool());
        return Failure {};
    };
    m_bindings.insert("StartAtLogin", login);

    Binding lit;
    lit.get = [light]() -> QVariant {
        L *l = light();
        return l ? QVariant(l->isLit()) : QVariant();
    };
    lit.set = [light, noLight](const QVariant &v) {
        L *l = light();
        return l && l->setLit(v.toBool()) ? Failure {} : unavailable(noLight);
    };
    m_bindings.insert("LightOn", lit);

    auto window = m_components.window;
    Binding shown;
    shown.get = [window]() -> QVariant {
        QWidget *w = window();
        return w ? QVariant(w->isVisible()) : QVariant();
    };
    shown.set = [window, show = m_components.showWindow](const QVariant &v) {
        QWidget *w = window();
        if (!w)
            return unavailable(tr("the settings window does not exist yet"));
        if (v.toBool())
            show();
        else
            w->hide();
        return Failure {};
    };
    m_bindings.insert("WindowVisible", shown);

    m_bindings.insert("LightConnected", { [light]() -> QVariant {
                                             L *l = light();
                                             return l && l->isConnected();
                                         },
                                          {}, {} });
    m_bindings.insert("CameraInUse", { [inUse = m_components.cameraInUse]() -> QVariant { return inUse(); }, {}, {} });
    m_bindings.insert("Version", { [version = m_components.version]() -> QVariant { return version; }, {}, {} });

    for (const control::Key &key : control::keys())
        Q_ASSERT_X(m_bindings.contains(key.property), "ControlService", qPrintable(key.property));
}

bool ControlService::publish(const QDBusConnection &bus)
{
    if (!bus.isConnected()) {
        qWarning() << "ControlService::publish -> no session bus:" << bus.lastError().message();
        return false;
    }
    const QString path = QString::fromLatin1(control::objectPath);
    QDBusConnection connection = bus;
    if (!connection.registerVirtualObject(path, this, QDBusConnection::SingleNode)) {
        qWarning() << "ControlService::publish -> cannot export" << path;
        return false;
    }
    if (!connection.registerService(QString::fromLatin1(control::serviceName))) {
        qWarning() << "ControlService::publish -> cannot own" << control::serviceName << ":"
                   << connection.lastError().message();
        connection.unregisterObject(path);
        return false;
    }
    m_bus = connection;
    m_published = true;
    qDebug() << "ControlService::publish -> serving" << control::serviceName << "on the session bus";
    return true;
}

QVariant ControlService::read(const QString &property, Failure *failure) const
{
    const auto binding = m_bindings.constFind(property);
    if (binding == m_bindings.constEnd()) {
        if (failure)
            *failure = { "org.freedesktop.DBus.Error.UnknownProperty",
                         tr("%1 has no property %2").arg(control::interfaceName, property) };
        return {};
    }
    const QVariant value = binding->get();
    if (!value.isValid() && failure)
        *failure = unavailable(tr("%1 is not available yet").arg(property));
    return value;
}

QVariantMap ControlService::readAll() const
{
    QVariantMap all;
    for (const control::Key &key : control::keys()) {
        const QVariant value = read(key.property);
        if (value.isValid())
            all.insert(key.property, value);
    }
    return all;
}

ControlService::Failure ControlService::check(const QString &property, const QVariant &value,
                                              QVariant &checked) const
{
    const control::Key *key = control::findByProperty(property);
    if (!key)
        return { "org.freedesktop.DBus.Error.UnknownProperty",
                 tr("%1 has no property %2").arg(control::interfaceName, property) };
    if (!key->writable)
        return { "org.freedesktop.DBus.Error.PropertyReadOnly", tr("%1 is read-only").arg(property) };
    switch (key->type) {
    case control::Type::Int: {
        qint64 number = 0;
        if (!toWhole(value, number))
            return { invalidArgs, tr("%1 takes a whole number, not %2").arg(property, value.toString()) };
        qint64 minimum = 0;
        qint64 maximum = 0;
        if (!m_bindings.value(property).range(minimum, maximum))
            return unavailable(tr("%1 is not available yet").arg(property));
        if (number < minimum || number > maximum)
            return { invalidArgs,
                     tr("%1 takes a whole number from %2 to %3, not %4").arg(property).arg(minimum).arg(maximum).arg(number) };
        checked = int(number);
        return {};
    }
    case control::Type::Bool:
        if (value.metaType().id() != QMetaType::Bool)
            return { invalidArgs, tr("%1 takes a boolean, not %2").arg(property, value.toString()) };
        checked = value.toBool();
        return {};
    case control::Type::Text:
        if (value.metaType().id() != QMetaType::QString)
            return { invalidArgs, tr("%1 takes a string").arg(property) };
        if (!isOneLine(value.toString()))
            return { invalidArgs, tr("%1 takes one line of text, without line breaks or control characters")
                                      .arg(property) };
        checked = value;
        return {};
    }
    return {};
}

ControlService::Failure ControlService::write(const QString &property, const QVariant &value)
{
    QVariant checked;
    const Failure refused = check(property, value, checked);
    if (refused.failed()) {
        qDebug() << "ControlService::write ->" << property << "refused:" << refused.message;
        return refused;
    }
    qDebug() << "ControlService::write ->" << property << checked;
    const Failure failure = m_bindings.value(property).set(checked);
    announceChanges();
    return failure;
}

QVariant ControlService::toggle(const QString &property, Failure *failure)
{
    const control::Key *key = control::findByProperty(property);
    if (!key || !control::isToggleable(*key)) {
        *failure = { invalidArgs, tr("%1 cannot be toggled").arg(property) };
        return {};
    }
    const QVariant current = read(property, failure);
    if (!current.isValid())
        return {};
    QVariant next;
    if (key->type == control::Type::Bool) {
        next = !current.toBool();
    } else if (current.toInt() != 0) {
        m_lastOn.insert(property, current.toInt());
        next = 0;
    } else {
        next = m_lastOn.value(property, key->toggleOnValue);
    }
    *failure = write(property, next);
    return failure->failed() ? QVariant() : next;
}

void ControlService::announceChanges()
{
    if (m_announcePending)
        return;
    m_announcePending = true;
    QTimer::singleShot(0, this, [this] {
        m_announcePending = false;
        emitChanges();
    });
}

void ControlService::emitChanges()
{
    const QVariantMap now = readAll();
    QVariantMap changed;
    for (auto it = now.constBegin(); it != now.constEnd(); ++it) {
        if (m_announced.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    }
    m_announced = now;
    if (changed.isEmpty())
        return;
    emit propertiesChanged(changed);
    if (!m_published)
        return;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(control::objectPath), propertiesInterface,
                                                     QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(control::interfaceName) << changed << QStringList();
    m_bus.send(signal);
}

bool ControlService::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show || event->type() == QEvent::Hide)
        announceChanges();
    return QDBusVirtualObject::eventFilter(watched, event);
}

QString ControlService::introspect(const QString &path) const
{
    Q_UNUSED(path);
    QString xml = QStringLiteral("  <interface name=\"%1\">\n").arg(control::interfaceName);
    for (const control::Key &key : control::keys()) {
        xml += QStringLiteral("    <property name=\"%1\" type=\"%2\" access=\"%3\"/>\n")
                   .arg(key.property, control::signature(key.type), key.writable ? "readwrite" : "read");
    }
    xml += QStringLiteral("    <method name=\"ShowWindow\"/>\n"
                          "    <method name=\"Quit\"/>\n"
                          "    <method name=\"Toggle\">\n"
                          "      <arg name=\"property\" type=\"s\" direction=\"in\"/>\n"
                          "      <arg name=\"value\" type=\"v\" direction=\"out\"/>\n"
                          "    </method>\n"
                          "  </interface>\n");
    return xml;
}

void ControlService::reply(const QDBusMessage &message, const QDBusConnection &connection, const QVariant &result,
                           const Failure &failure) const
{
    if (failure.failed()) {
        connection.send(message.createErrorReply(failure.name, failure.message));
        return;
    }
    connection.send(result.isValid() ? message.createReply(result) : message.createReply());
}

bool ControlService::handleMessage(const QDBusMessage &message, const QDBusConnection &connection)
{
    const QString interface = message.interface();
    const QString member = message.member();
    const QString ours = QString::fromLatin1(control::interfaceName);
    const bool methodOfOurs = member == "ShowWindow" || member == "Quit" || member == "Toggle";
    if (interface != propertiesInterface && interface != ours && !(interface.isEmpty() && methodOfOurs))
        return false; // introspection and the peer interface: Qt answers those
    // The components and the window are used on this object's thread only.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, message, connection] { handleMessage(message, connection); }, Qt::QueuedConnection);
        return true;
    }
    const QList<QVariant> args = message.arguments();

    if (interface == propertiesInterface) {
        // An empty interface name means whichever interface has the property; we have one.
        if (args.isEmpty() || args.first().metaType().id() != QMetaType::QString
            || !(args.first().toString().isEmpty() || args.first().toString() == ours)) {
            reply(message, connection, {},
                  { "org.freedesktop.DBus.Error.UnknownInterface", tr("no interface %1 here").arg(args.value(0).toString()) });
            return true;
        }
        Failure failure;
        if (member == "Get" && message.signature() == "ss") {
            const QVariant value = read(args.at(1).toString(), &failure);
            reply(message, connection, QVariant::fromValue(QDBusVariant(value)), failure);
        } else if (member == "GetAll" && message.signature() == "s") {
            reply(message, connection, readAll(), failure);
        } else if (member == "Set" && message.signature() == "ssv") {
            failure = write(args.at(1).toString(), args.at(2).value<QDBusVariant>().variant());
            reply(message, connection, {}, failure);
        } else {
            reply(message, connection, {}, { invalidArgs, tr("no method %1(%2)").arg(member, message.signature()) });
        }
        return true;
    }

    if (member == "ShowWindow" && message.signature().isEmpty()) {
        qDebug() << "ControlService -> showing the window for" << message.service();
        m_components.showWindow();
        reply(message, connection, {}, {});
    } else if (member == "Quit" && message.signature().isEmpty()) {
        qDebug() << "ControlService -> quitting for" << message.service();
        reply(message, connection, {}, {});
        // After the reply is out; shutting down deletes this object.
        QTimer::singleShot(0, qApp, m_components.quit);
    } else if (member == "Toggle" && message.signature() == "s") {
        Failure failure;
        const QVariant value = toggle(args.first().toString(), &failure);
        reply(message, connection, QVariant::fromValue(QDBusVariant(value)), failure);
    } else {
        reply(message, connection, {},
              { "org.freedesktop.DBus.Error.UnknownMethod", tr("no method %1(%2)").arg(member, message.signature()) });
    }
    return true;
}
