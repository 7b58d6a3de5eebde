#pragma once

// The update tests' side of the network: an HTTPS file server on loopback (update_server.py)
// with a certificate authority made for the run, and the Debian packages it hands out.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

/// Serves the files of `folder`/www at https://localhost:<port>/ with a certificate of its own
/// authority (`folder`/ca.pem), from start() until it is destroyed.
class LoopbackUpdateServer
{
public:
    ~LoopbackUpdateServer()
    {
        m_server.kill();
        m_server.waitForFinished();
    }

    /// `script` is update_server.py. False (with a warning) when the certificates cannot be made or
    /// the server does not come up.
    bool start(const QString &folder, const QString &script)
    {
        m_folder = folder;
        const QString d = folder + QLatin1Char('/');
        if (!QDir().mkpath(d + QStringLiteral("www")))
            return false;
        const auto openssl = [](const QStringList &arguments) {
            QProcess p;
            p.start(QStringLiteral("openssl"), arguments);
            const bool done = p.waitForFinished(30000) && p.exitCode() == 0;
            if (!done)
                qWarning() << "LoopbackUpdateServer -> openssl" << arguments.first() << "failed:" << p.readAllStandardError();
            return done;
        };
        QFile ext(d + QStringLiteral("ext.cnf"));
        if (!ext.open(QIODevice::WriteOnly))
            return false;
        ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
        ext.close();
        if (!openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "ca.key", "-out", d + "ca.pem",
                      "-days", "2", "-subj", "/CN=Talvento Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                      "-addext", "keyUsage=critical,keyCertSign,cRLSign"})
            || !openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "server.key", "-out", d + "server.csr",
                         "-subj", "/CN=localhost"})
            || !openssl({"x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.pem", "-CAkey", d + "ca.key",
                         "-CAcreateserial", "-out", d + "server.pem", "-days", "2", "-extfile", d + "ext.cnf"}))
            return false;

        const QString portFile = d + QStringLiteral("port");
        m_server.start(QStringLiteral("/usr/bin/python3"),
                       {script, d + "server.pem", d + "server.key", d + "www", portFile});
        if (!m_server.waitForStarted())
            return false;
        QFile port(portFile);
        if (!QTest::qWaitFor([&] { return port.exists() || m_server.state() == QProcess::NotRunning; }, 20000)
            || !port.open(QIODevice::ReadOnly)) {
            qWarning() << "LoopbackUpdateServer -> the server did not come up:" << m_server.readAllStandardError();
            return false;
        }
        m_port = port.readAll().toInt();
        return m_port > 0;
    }

    /// The authority that signed the server's certificate (PEM).
    QString caFile() const { return m_folder + QStringLiteral("/ca.pem"); }
    QString url(const QString &path) const { return QStringLiteral("https://localhost:%1%2").arg(m_port).arg(path); }

    /// Serves `content` as /`name` and returns its address.
    QString serve(const QString &name, const QByteArray &content) const
    {
        QFile file(m_folder + QStringLiteral("/www/") + name);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
        return url(QLatin1Char('/') + name);
    }
    QString serve(const QString &name, const QJsonObject &object) const
    {
        return serve(name, QJsonDocument(object).toJson());
    }

private:
    QString m_folder;
    QProcess m_server;
    int m_port = 0;
};

namespace updatetest {

inline QByteArray arMember(const QByteArray &name, const QByteArray &content)
{
    QByteArray header = name.leftJustified(16, ' ');
    header += QByteArray("0").leftJustified(12, ' ');  // mtime
    header += QByteArray("0").leftJustified(6, ' ');   // owner
    header += QByteArray("0").leftJustified(6, ' ');   // group
    header += QByteArray("100644").leftJustified(8, ' ');
    header += QByteArray::number(content.size()).leftJustified(10, ' ');
    header += "`\n";
    QByteArray member = header + content;
    if (content.size() & 1)
        member += '\n';
    return member;
}

/// A package laid out as dpkg-deb lays it out; the archives' contents do not matter here.
inline QByteArray debianPackage(qsizetype dataBytes)
{
    QByteArray data(dataBytes, '\0');
    for (qsizetype i = 0; i < data.size(); ++i)
        data[i] = char((i * 7 + (i >> 8)) & 0xff);
    return "!<arch>\n" + arMember("debian-binary", "2.0\n") + arMember("control.tar.xz", "control")
        + arMember("data.tar.xz", data);
}

inline QJsonObject manifest(const QJsonArray &updates)
{
    return QJsonObject{{QStringLiteral("updates"), updates}};
}

inline QJsonObject entry(const QString &os, const QString &version, const QString &url, bool mandatory = false)
{
    return QJsonObject{{QStringLiteral("os"), os}, {QStringLiteral("version"), version},
                       {QStringLiteral("url"), url}, {QStringLiteral("mandatory"), mandatory}};
}

} // namespace updatetest
