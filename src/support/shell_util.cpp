#include "support/shell_util.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include "platform/command_line.h"
#include "platform/message_bus.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "support/file_util.h"

namespace {

// Ends a helper that outlived its limit, as the system reports such a kill.
constexpr uint32_t kTimedOutExitCode = 0xFFFFFFFFu;
// A killed child is gone at once; this only bounds the reap.
constexpr int kReapAfterKillMs = 5000;

std::string DesktopEntryPath(const std::string& name) {
  const std::string desktop = platform::GetSpecialFolder(platform::SpecialFolder::kDesktop);
  if (desktop.empty() || name.empty())
    return {};
  return desktop + "/" + name + ".desktop";
}

// A desktop entry's string value: backslashes and control characters
// escaped, a leading blank kept.
std::string EscapeValue(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == ' ' && i == 0) {
      out += "\\s";
    } else {
      out += c;
    }
  }
  return out;
}

// One Exec argument, always quoted: inside the quotes '"', '`', '$' and '\'
// take a backslash, and '%' is doubled so it is no field code. The string
// escaping of EscapeValue applies on top.
std::string QuoteExecArgument(const std::string& arg) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '%') {
      out += "%%";
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

}  // namespace

bool CreateDesktopShortcut(const std::string& name, const std::string& folder) {
  const std::string path = DesktopEntryPath(name);
  if (path.empty())
    return false;
  const std::string target =
      (folder.empty() || folder.back() != '/' ? folder + "/" : folder) + name;
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=" << EscapeValue(name) << "\n"
        << "Exec=" << EscapeValue(QuoteExecArgument(target)) << "\n"
        << "Path=" << EscapeValue(folder) << "\n"
        << "Terminal=false\n";
    out.flush();
    if (!out)
      return false;
  }
  // Desktops start only entries marked executable.
  return chmod(path.c_str(), 0755) == 0;
}

bool DeleteOwnDesktopShortcut() {
  const std::string path = DesktopEntryPath(GetOwnFileName());
  return !path.empty() && std::remove(path.c_str()) == 0;
}

bool ActivateWindow(const std::string& window_class, const std::string& title) {
  return platform::ActivateWindow(window_class, title);
}

std::map<std::string, std::string> ParseCommandLine(const std::string& text) {
  std::map<std::string, std::string> result;
  for (const std::string& arg : platform::SplitCommandLine(text, GetOwnPath())) {
    const size_t equals = arg.find('=');
    if (equals == std::string::npos) {
      result[arg] = std::string();
    } else {
      result[arg.substr(0, equals)] = arg.substr(equals + 1);
    }
  }
  return result;
}

bool RunHiddenAndWait(const std::string& command_line, int timeout_ms) {
  platform::Process child;
  platform::StartOptions options;
  options.hidden = true;
  if (!child.StartCommandLine(command_line, options))
    return false;
  uint32_t exit_code = kTimedOutExitCode;
  if (!child.Wait(timeout_ms, &exit_code)) {
    child.Terminate(kTimedOutExitCode);
    if (!child.Wait(kReapAfterKillMs, &exit_code))
      return false;
  }
  return exit_code == 0;
}
