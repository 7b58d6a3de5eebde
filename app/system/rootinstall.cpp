#include "app/system/rootinstall.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rootinstall {

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Reads the staged file without following a link, refusing anything but a regular file of at
// most `limit` bytes.
bool readStaged(const QString &path, qint64 limit, QByteArray &data, QString &error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = QStringLiteral("cannot open %1: %2").arg(path, systemError());
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > limit) {
        error = QStringLiteral("%1 is not a regular file of at most %2 bytes").arg(path).arg(limit);
        ::close(fd);
        return false;
    }
    data.resize(qsizetype(info.st_size));
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(fd, data.data() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = QStringLiteral("cannot read %1").arg(path);
            ::close(fd);
            return false;
        }
        done += n;
    }
    ::close(fd);
    return true;
}

// A new folder that only this user may enter, removed with everything in it when it goes.
class PrivateFolder
{
public:
    PrivateFolder()
    {
        QByteArray pattern = QFile::encodeName(QDir::tempPath() + QStringLiteral("/talvento-install-XXXXXX"));
        if (::mkdtemp(pattern.data()))
            m_path = QFile::decodeName(pattern);
    }
    ~PrivateFolder()
    {
        if (!m_path.isEmpty())
            QDir(m_path).removeRecursively();
    }
    QString path() const { return m_path; }

private:
    QString m_path;
};

} // namespace

bool writeNewFile(const QString &path, const QByteArray &data, QString &error)
{
    const QByteArray file = QFile::encodeName(path);
    const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = QStringLiteral("cannot create %1: %2").arg(path, systemError());
        return false;
    }
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    // A full disk may show only at the flush or the close.
    const bool written = done == data.size() && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written) {
        error = QStringLiteral("cannot write %1: %2").arg(path, systemError());
        ::unlink(file.constData());
        return false;
    }
    return true;
}

bool isDebianPackage(const QByteArray &data)
{
    // An ar archive whose members are, in order, "debian-binary" (format 2.x),
    // a control archive and a data archive, each wholly inside the file.
    if (!data.startsWith("!<arch>\n"))
        return false;
    qsizetype offset = 8;
    QList<QByteArray> names;
    while (offset < data.size() && names.size() < 3) {
        if (data.size() - offset < 60)
            return false;
        const QByteArray header = data.mid(offset, 60);
        if (header.mid(58, 2) != "`\n")
            return false;
        bool sizeOk = false;
        const qint64 size = header.mid(48, 10).trimmed().toLongLong(&sizeOk);
        if (!sizeOk || size < 0 || size > data.size() - offset - 60)
            return false;
        QByteArray name = header.left(16).trimmed();
        if (name.endsWith('/'))
            name.chop(1);
        if (names.isEmpty() && (name != "debian-binary" || !data.mid(offset + 60, size).startsWith("2.")))
            return false;
        names << name;
        offset += 60 + size + (size & 1);
    }
    return names.size() == 3 && names[1].startsWith("control.tar") && names[2].startsWith("data.tar");
}

QStringList packageCommand(const QString &path)
{
    return {QStringLiteral("/usr/bin/env"), QStringLiteral("DEBIAN_FRONTEND=noninteractive"),
            QStringLiteral("/usr/bin/apt-get"), QStringLiteral("install"), QStringLiteral("-y"),
            QStringLiteral("--allow-downgrades"), QStringLiteral("-o"), QStringLiteral("Dpkg::Options::=--force-confdef"),
            QStringLiteral("-o"), QStringLiteral("Dpkg::Options::=--force-confold"), path};
}

processrunner::Result install(const Request &request, const std::function<void(const QString &line)> &onLine,
                              int timeLimitMs)
{
    processrunner::Result refused;
    const bool package = request.kind == Request::Kind::Package;
    QByteArray staged;
    if (!readStaged(request.file, package ? MaxPackageBytes : MaxScriptBytes, staged, refused.error))
        return refused;

    PrivateFolder folder;
    if (folder.path().isEmpty()) {
        refused.error = QStringLiteral("cannot make a private folder: %1").arg(systemError());
        return refused;
    }
    // Debian packages must keep their suffix for apt-get to take them as files.
    const QString copy = folder.path() + (package ? QStringLiteral("/update.deb") : QStringLiteral("/script"));
    QByteArray checked;
    if (!writeNewFile(copy, staged, refused.error) || !readStaged(copy, package ? MaxPackageBytes : MaxScriptBytes, checked, refused.error))
        return refused;
    if (package && !isDebianPackage(checked)) {
        refused.error = QStringLiteral("%1 is not a Debian package").arg(request.file);
        return refused;
    }
    const QString digest = QString::fromLatin1(QCryptographicHash::hash(checked, QCryptographicHash::Sha256).toHex());
    if (!request.sha256.isEmpty() && digest != request.sha256.toLower()) {
        refused.error = QStringLiteral("%1 has SHA-256 %2, not the expected %3").arg(request.file, digest, request.sha256);
        return refused;
    }

    QStringList command = package ? packageCommand(copy) : QStringList{QStringLiteral("/bin/sh"), copy};
    command += request.arguments;
    return processrunner::run(command, onLine, timeLimitMs);
}

} // namespace rootinstall
