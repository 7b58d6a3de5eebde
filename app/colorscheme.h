#pragma once

#include <functional>

class QObject;

/// The desktop's light or dark appearance on every Qt we build with. Qt 6.5 and newer report it
/// through QStyleHints::colorScheme. Qt 6.4 has no colour scheme; there it follows the
/// application palette, which the platform theme sets from the desktop's appearance: dark when
/// the window background is darker than the window text.
namespace colorscheme {

/// Live query. GUI thread.
bool isDark();

/// Calls `handler` on the GUI thread whenever the appearance may have changed (the handler
/// compares with what it knew). The watch ends with `context`.
void watch(QObject *context, std::function<void()> handler);

} // namespace colorscheme
