#include "app/system/runtimedir.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace runtimedir {

namespace {

// Creates `dir` with mode 0700 unless it exists, then accepts it only when it is private.
bool makePrivate(const QString &dir)
{
    const QByteArray path = QFile::encodeName(dir);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    return isPrivate(dir);
}

} // namespace

bool isPrivate(const QString &dir)
{
    struct stat info {};
    if (dir.isEmpty() || ::lstat(QFile::encodeName(dir).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

QString path()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (isPrivate(runtime))
        return QDir(runtime).absolutePath();

    const QString perUser = QDir(QDir::tempPath()).absoluteFilePath(QStringLiteral("talvento-%1").arg(::geteuid()));
    if (makePrivate(perUser))
        return perUser;
    qWarning() << "runtimedir::path ->" << perUser << "is not a private folder of this user";

    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    QDir().mkpath(cache);
    const QString inCache = QDir(cache).absoluteFilePath(QStringLiteral("talvento-runtime"));
    if (makePrivate(inCache))
        return inCache;
    qWarning() << "runtimedir::path -> no private folder for this user," << inCache << "is not one either";
    return QString();
}

} // namespace runtimedir
