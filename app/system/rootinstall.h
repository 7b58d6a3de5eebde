#pragma once

#include "app/system/processrunner.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

/// The root side of a privileged install. The file to install was staged by the user's side; it
/// is copied into a new folder that only the installing user (root) can enter, checked there (a
/// Debian package's layout, its SHA-256 when one is expected, its size), installed from there
/// and removed with the folder. Whatever happens to the staged file after the copy, what is
/// installed is what was checked.
namespace rootinstall {

struct Request
{
    enum class Kind { Package, Script };
    Kind kind = Kind::Package;
    QString file;            ///< the staged file
    QString sha256;          ///< expected SHA-256 in hex; empty when none is known
    QStringList arguments;   ///< after the file (a script's target, then extra arguments)
};

/// Largest file taken: the download limit of an update.
constexpr qint64 MaxPackageBytes = 512LL * 1024 * 1024;
constexpr qint64 MaxScriptBytes = 1024 * 1024;

/// Copies, checks, installs and removes, as above. A file that fails its check is not run: the
/// result is FailedToStart with the reason in `error`.
processrunner::Result install(const Request &request, const std::function<void(const QString &line)> &onLine,
                              int timeLimitMs);

/// Writes `data` to `path`, which must not exist yet (a link there is not followed), mode 0600;
/// every write, the flush to the disk and the close are checked. On failure the file is removed
/// and `error` says why.
bool writeNewFile(const QString &path, const QByteArray &data, QString &error);

/// True when `data` is a well-formed Debian package archive.
bool isDebianPackage(const QByteArray &data);

/// The command that installs a checked package: apt-get without questions, keeping the
/// administrator's edits of configuration files.
QStringList packageCommand(const QString &path);

} // namespace rootinstall
