#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

namespace platform {
namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? std::string(value) : fallback;
}

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  return path;
}

// The home folder of `user` as the system knows it (not relocated).
std::string SystemHomeOf(const std::string& user) {
  if (user.empty())
    return {};
  struct passwd pwd;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwnam_r(user.c_str(), &pwd, buffer, sizeof(buffer), &found) != 0 || found == nullptr) {
    return {};
  }
  return StripTrailingSlashes(found->pw_dir);
}

bool DesktopUserIsCurrentUser() {
  const char* sudo_user = std::getenv("SUDO_USER");
  return sudo_user == nullptr || *sudo_user == '\0' || geteuid() != 0;
}

// XDG_DESKTOP_DIR from the desktop user's user-dirs.dirs, as xdg-user-dir
// reads it; empty when not set there.
std::string DesktopFromUserDirs(const std::string& home) {
  std::ifstream in(home + "/.config/user-dirs.dirs");
  std::string line;
  const std::string key = "XDG_DESKTOP_DIR=";
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) != 0)
      continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (value.compare(0, 5, "$HOME") == 0)
      value = home + value.substr(5);
    if (value.empty() || value[0] != '/')
      return {};
    return StripTrailingSlashes(value);
  }
  return {};
}

}  // namespace

std::string MachineRoot() {
  const char* root = std::getenv("TAV_ROOT");
  if (root == nullptr || *root == '\0')
    return {};
  std::string path = StripTrailingSlashes(root);
  return path == "/" ? std::string() : path;
}

bool IsRelocatedRoot() {
  return !MachineRoot().empty();
}

std::string UnderRoot(const std::string& path) {
  if (path.empty() || path[0] != '/')
    return MachineRoot() + "/" + path;
  return MachineRoot() + path;
}

std::string DesktopUserName() {
  const char* sudo_user = std::getenv("SUDO_USER");
  if (geteuid() == 0 && sudo_user != nullptr && *sudo_user != '\0')
    return sudo_user;
  struct passwd pwd;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(geteuid(), &pwd, buffer, sizeof(buffer), &found) != 0 || found == nullptr) {
    return EnvOr("USER", "");
  }
  return found->pw_name;
}

std::string DesktopUserHome() {
  std::string home = SystemHomeOf(DesktopUserName());
  if (home.empty() && DesktopUserIsCurrentUser())
    home = StripTrailingSlashes(EnvOr("HOME", ""));
  if (home.empty())
    return {};
  return IsRelocatedRoot() ? UnderRoot(home) : home;
}

std::string GetSpecialFolder(SpecialFolder which) {
  const bool relocated = IsRelocatedRoot();
  switch (which) {
    case SpecialFolder::kTemp:
      return relocated ? UnderRoot("/tmp") : StripTrailingSlashes(EnvOr("TMPDIR", "/tmp"));
    case SpecialFolder::kCommonDocuments:
      return UnderRoot("/var/lib");
    case SpecialFolder::kProgramFiles32:
    case SpecialFolder::kProgramFiles64:
      return UnderRoot("/opt");
    case SpecialFolder::kLocalAppData: {
      if (!relocated && DesktopUserIsCurrentUser()) {
        std::string xdg = EnvOr("XDG_DATA_HOME", "");
        if (!xdg.empty() && xdg[0] == '/')
          return StripTrailingSlashes(xdg);
      }
      std::string home = DesktopUserHome();
      return home.empty() ? std::string() : home + "/.local/share";
    }
    case SpecialFolder::kDesktop: {
      std::string home = DesktopUserHome();
      if (home.empty())
        return {};
      std::string desktop = DesktopFromUserDirs(home);
      if (desktop.empty())
        return home + "/Desktop";
      // user-dirs.dirs names a system path; keep it inside the machine root.
      return relocated && desktop.compare(0, home.size(), home) != 0 ? UnderRoot(desktop) : desktop;
    }
    case SpecialFolder::kWindows:
      return UnderRoot("/usr");
  }
  return {};
}

bool CreateDirectories(const std::string& path) {
  if (path.empty())
    return false;
  struct stat st;
  if (stat(path.c_str(), &st) == 0)
    return S_ISDIR(st.st_mode);
  std::string::size_type slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (!CreateDirectories(path.substr(0, slash)))
      return false;
  }
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
    return false;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string RuntimeFolder() {
  std::string folder;
  if (IsRelocatedRoot()) {
    folder = UnderRoot("/run/tav");
  } else if (geteuid() == 0) {
    folder = "/run/tav";
  } else {
    std::string runtime = EnvOr("XDG_RUNTIME_DIR", "");
    folder = runtime.empty() ? "/tmp/tav-" + std::to_string(geteuid()) : runtime + "/tav";
  }
  return CreateDirectories(folder) ? folder : std::string();
}

std::string OwnExePath() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0)
    return {};
  return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace platform
