// Desktop shell helpers: desktop shortcuts (XDG desktop entries), bringing a
// window of the program to the front, splitting a "key=value" command line,
// and running a helper program hidden with a time limit.
//
// Stateless; any thread (RunHiddenAndWait blocks its caller up to its limit).
// Nothing logs.
#pragma once

#include <map>
#include <string>

// How long RunHiddenAndWait lets a helper run.
inline constexpr int kRunHiddenTimeoutMs = 20000;

// Writes the desktop entry "<name>.desktop" into the desktop user's desktop
// folder: an application starting `folder` + "/" + `name` in `folder`. False
// when the desktop folder is unknown or the file cannot be written.
bool CreateDesktopShortcut(const std::string& name, const std::string& folder);

// Deletes "<own file name>.desktop" from the desktop folder. True when there
// was one and it is deleted.
bool DeleteOwnDesktopShortcut();

// Finds the top-level window (class, title) and brings it to the front
// (restored when minimised). False when there is no such window.
bool ActivateWindow(const std::string& window_class, const std::string& title);

// Splits `text` by the system's command-line rules (platform/command_line.h)
// and stores each argument, split at its first "=", as key and value (no "="
// gives an empty value; a later key replaces an earlier one). The first
// argument, the program, is stored like the others; an empty text gives the
// program's own path.
std::map<std::string, std::string> ParseCommandLine(const std::string& text);

// Starts `command_line` hidden (no terminal: standard streams to /dev/null),
// waits up to `timeout_ms`, then ends it with exit code -1. True exactly when
// its exit code is 0.
bool RunHiddenAndWait(const std::string& command_line, int timeout_ms = kRunHiddenTimeoutMs);
