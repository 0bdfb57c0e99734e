// Machine root and the special folders of the program.
//
// Every folder the program uses lies under one machine root: "/" on a real
// machine, or the folder named by the environment variable TAV_ROOT, which
// tests and the demo point at a sandbox. Functions here are stateless and
// may be called from any thread; they read the environment on every call so
// a test can change TAV_ROOT between cases.
#pragma once

#include <string>

namespace platform {

enum class SpecialFolder {
  kTemp,             // the user's temporary folder
  kCommonDocuments,  // the all-users documents folder
  kProgramFiles32,   // program files, 32-bit view
  kProgramFiles64,   // program files, 64-bit view
  kLocalAppData,     // local application data of the desktop user
  kDesktop,          // the desktop user's desktop folder
  kWindows,          // the system folder ("windir")
};

// The machine root without a trailing "/" ("" stands for "/").
std::string MachineRoot();

// True when TAV_ROOT relocates the machine root.
bool IsRelocatedRoot();

// `path` (absolute, "/"-separated) placed under the machine root.
std::string UnderRoot(const std::string& path);

// The folder for `which`, without a trailing "/". Not created.
std::string GetSpecialFolder(SpecialFolder which);

// Folder for run-time files shared by the program's processes on this
// machine (instance guards, the message bus). Created on demand; empty when
// it cannot be created.
std::string RuntimeFolder();

// The user who owns the desktop session: SUDO_USER when the program runs
// through sudo, otherwise the current user. Empty when it cannot be had.
std::string DesktopUserName();

// Home folder of the desktop user (relocated under the machine root when
// TAV_ROOT is set).
std::string DesktopUserHome();

// Full path of the running program, empty on failure.
std::string OwnExePath();

// Creates `path` with its parents; true when it is a folder afterwards.
bool CreateDirectories(const std::string& path);

}  // namespace platform
