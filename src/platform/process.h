// Processes: start, wait, exit code, termination; starting a program as the
// desktop user; opening an address in the desktop's browser; thread and
// process ids.
//
// A Process object owns one child. Start and Terminate are for the owner's
// thread; Wait may be called from one other thread while the owner calls
// Terminate (that is how a bounded wait ends a hung child).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The id of the calling thread (the kernel's tid), as log lines carry it.
int CurrentThreadId();
int CurrentProcessId();

struct StartOptions {
  std::string working_dir;       // empty: the caller's
  bool hidden = false;           // no terminal output: stdin, stdout, stderr to /dev/null
  bool as_desktop_user = false;  // drop root to the desktop user (SUDO_USER)
};

class Process {
 public:
  // Exit code of a child that a signal ended: 0x80000000 | signal, so it is
  // never 0 and never a small installer code.
  static constexpr uint32_t kSignalExitFlag = 0x80000000u;
  static constexpr int kWaitForever = -1;

  Process() = default;
  ~Process();  // does not kill the child; only forgets it
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // argv[0] is the program (looked up in PATH when it has no "/").
  bool Start(const std::vector<std::string>& argv, const StartOptions& options = {});
  // Splits `command_line` with SplitCommandLine and starts it.
  bool StartCommandLine(const std::string& command_line, const StartOptions& options = {});

  // Waits up to `timeout_ms` (kWaitForever: no limit) for the child to end.
  // True when it ended; its exit code then goes to `exit_code`.
  bool Wait(int timeout_ms, uint32_t* exit_code);

  // Ends the child at once (SIGKILL); a later Wait reports `exit_code`.
  bool Terminate(uint32_t exit_code);

  int pid() const { return pid_; }
  bool running() const;

 private:
  int pid_ = -1;
  int pidfd_ = -1;
  bool reaped_ = false;
  bool terminated_ = false;
  uint32_t exit_code_ = 0;
  uint32_t terminate_code_ = 0;
};

// Starts a program detached (not waited for) as the desktop user: the
// stand-in for starting it through the desktop shell, so a product does not
// run as root. True when it started.
bool StartDetachedAsDesktopUser(const std::vector<std::string>& argv,
                                const std::string& working_dir = {});

// Opens an address or a file with $BROWSER or xdg-open as the desktop user.
// True when the opener started.
bool OpenWithDesktop(const std::string& address);

}  // namespace platform
