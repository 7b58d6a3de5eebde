#pragma once

/// The command line for the running instance: --set KEY=VALUE..., --get KEY, --toggle KEY and
/// --list, carried over the session bus. Exit codes: 0 done; 1 no running instance; 2 an
/// unknown key or a bad value (nothing after it is sent); 3 the instance refused for another
/// reason (the light panel not connected, say).
namespace control {

/// Runs the commands in the arguments; -1 when they hold none, the exit code otherwise. Needs no
/// application object; it makes its own.
int runCommands(int argc, char **argv);

/// Asks the running instance to show its settings window; false when none answered.
bool showRunningWindow();

} // namespace control
