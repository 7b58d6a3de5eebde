#pragma once

// A stand-in for the machine that the virtual camera's module script acts on (its --system
// folder), for machines without kernel modules: sysfs, /proc/modules, /etc, the DKMS key, and
// modprobe, modinfo, apt-get and mokutil stand-ins (bin/) that keep their state in state/ and
// log each call to log.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

class FakeSystem
{
public:
    FakeSystem()
    {
        const QDir root(m_dir.path());
        for (const char *folder : {"bin", "sys/class/video4linux", "sys/module", "proc", "etc", "state", "var/lib/dkms"})
            root.mkpath(QString::fromLatin1(folder));
        const QDir tools(qEnvironmentVariable("TALVENTO_SOURCE_DIR") + QStringLiteral("/tests/support/fakesystem/bin"));
        for (const QString &tool : tools.entryList(QDir::Files)) {
            QFile::copy(tools.filePath(tool), root.filePath(QStringLiteral("bin/") + tool));
            QFile::setPermissions(root.filePath(QStringLiteral("bin/") + tool),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                      | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                      | QFileDevice::ExeOther);
        }
        write(QStringLiteral("uname"), "6.1.0-fake\n");
        write(QStringLiteral("proc/modules"), "");
        // Passes commands on unchanged, as an administrator that always agrees would.
        write(QStringLiteral("elevator"), "#!/bin/sh\nexec \"$@\"\n");
        QFile::setPermissions(filePath(QStringLiteral("elevator")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &relative) const { return m_dir.filePath(relative); }

    void write(const QString &relative, const QByteArray &content)
    {
        QDir(m_dir.path()).mkpath(QFileInfo(filePath(relative)).path());
        QFile file(filePath(relative));
        if (file.open(QIODevice::WriteOnly))
            file.write(content);
    }
    QByteArray read(const QString &relative) const
    {
        QFile file(filePath(relative));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool exists(const QString &relative) const { return QFileInfo::exists(filePath(relative)); }

    /// A loaded v4l2loopback module with one node named `label`, as the module leaves it.
    void loadLoopback(const QByteArray &label, int readers = 0)
    {
        write(QStringLiteral("sys/module/v4l2loopback/refcnt"), QByteArray::number(readers) + '\n');
        write(QStringLiteral("sys/class/video4linux/video3/name"), label + '\n');
    }

private:
    QTemporaryDir m_dir;
};
