#pragma once

// A PipeWire server of the test's own (with WirePlumber, which links consumers, and the session
// bus WirePlumber needs), in a private runtime directory that this process and its children use.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class PrivatePipeWire
{
public:
    static bool available()
    {
        for (const char *program : {"pipewire", "wireplumber", "dbus-daemon", "pw-cli", "pw-dump", "gst-launch-1.0"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
                return false;
        return true;
    }

    ~PrivatePipeWire()
    {
        stopServer();
        stop(m_bus);
    }

    /// Points this process at the private directories and starts the bus and the server.
    bool start()
    {
        if (!m_dir.isValid())
            return false;
        const QString root = m_dir.path();
        for (const char *sub : {"run", "config/wireplumber/main.lua.d", "config/wireplumber/bluetooth.lua.d",
                                "state", "data", "cache"})
            QDir().mkpath(root + QLatin1Char('/') + QLatin1String(sub));
        QFile::setPermissions(root + QStringLiteral("/run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // No hardware monitors: nothing to find here, and the camera monitor would only warn.
        writeFile(QStringLiteral("config/wireplumber/main.lua.d/51-no-hardware.lua"),
                  "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n");
        writeFile(QStringLiteral("config/wireplumber/bluetooth.lua.d/51-no-hardware.lua"),
                  "bluez_monitor.enabled = false\n");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root + QStringLiteral("/run")));
        qputenv("PIPEWIRE_RUNTIME_DIR", QFile::encodeName(root + QStringLiteral("/run")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + QStringLiteral("/config")));
        qputenv("XDG_STATE_HOME", QFile::encodeName(root + QStringLiteral("/state")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(root + QStringLiteral("/data")));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(root + QStringLiteral("/cache")));
        qputenv("DBUS_SESSION_BUS_ADDRESS", QFile::encodeName(QStringLiteral("unix:path=") + root + QStringLiteral("/bus")));
        qunsetenv("PIPEWIRE_REMOTE");

        m_bus = launch(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--address=unix:path=") + root + QStringLiteral("/bus"),
                        QStringLiteral("--nofork"), QStringLiteral("--nopidfile")});
        if (!waitFor([&] { return QFile::exists(root + QStringLiteral("/bus")); }))
            return false;
        return startServer();
    }

    /// The server and its session manager; ready once WirePlumber has made its metadata.
    bool startServer()
    {
        m_server = launch(QStringLiteral("pipewire"), {});
        if (!waitFor([&] { return QFile::exists(m_dir.path() + QStringLiteral("/run/pipewire-0")); }))
            return false;
        m_manager = launch(QStringLiteral("wireplumber"), {});
        return waitFor([] {
            QProcess ls;
            ls.start(QStringLiteral("pw-cli"), {QStringLiteral("ls"), QStringLiteral("Metadata")});
            return ls.waitForFinished(5000) && ls.readAllStandardOutput().contains("metadata.name = \"default\"");
        });
    }

    void stopServer()
    {
        stop(m_manager);
        stop(m_server);
        QFile::remove(m_dir.path() + QStringLiteral("/run/pipewire-0"));
        QFile::remove(m_dir.path() + QStringLiteral("/run/pipewire-0.lock"));
    }

    QString path() const { return m_dir.path(); }

private:
    template<typename Ready>
    static bool waitFor(Ready ready)
    {
        for (int i = 0; i < 200; ++i) {
            if (ready())
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    std::unique_ptr<QProcess> launch(const QString &program, const QStringList &arguments)
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->setStandardOutputFile(QProcess::nullDevice());
        process->start(program, arguments);
        process->waitForStarted();
        return process;
    }

    static void stop(std::unique_ptr<QProcess> &process)
    {
        if (!process)
            return;
        process->terminate();
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(5000);
        }
        process.reset();
    }

    void writeFile(const QString &relative, const char *text)
    {
        QFile file(m_dir.filePath(relative));
        if (file.open(QIODevice::WriteOnly))
            file.write(text);
    }

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_bus;
    std::unique_ptr<QProcess> m_server;
    std::unique_ptr<QProcess> m_manager;
};
