#pragma once

#include <QString>

/// Folders that belong to the user who runs the application and to nobody else: the place for
/// the instance lock and for files that are staged before a privileged install. Another local
/// user can neither create, replace nor read what lies in them.
namespace runtimedir {

/// The user's runtime folder (XDG_RUNTIME_DIR) when it is a private folder of this user; else a
/// per-user folder of mode 0700 in the temporary folder ("talvento-<uid>"), and when another user
/// took that name first, one in the user's cache folder. Empty, with a warning, when none can be
/// had.
QString path();

/// True when `dir` is a real folder (not a link) owned by this user that no one else may enter.
bool isPrivate(const QString &dir);

} // namespace runtimedir
