#include "platform/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/command_line.h"
#include "platform/paths.h"

namespace platform {
namespace {

// Guards the reaped/terminated state of every Process: Wait runs on one
// thread while the owner may call Terminate on another. Never held while
// blocking on the child.
std::mutex g_state_mutex;

// The identity a child takes when it is to run as the desktop user.
struct UserIdentity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  std::string name;
  std::string home;
};

// Everything the child needs, prepared before fork: between fork and exec a
// child of a threaded program may only make async-signal-safe calls.
struct ChildPlan {
  std::vector<std::string> argv_text;
  std::vector<char*> argv;
  std::vector<std::string> env_text;
  std::vector<char*> envp;
  std::string working_dir;
  bool hidden = false;
  bool drop_privileges = false;
  UserIdentity user;
};

int PidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

bool PidfdSendSignal(int pidfd, int sig) {
#ifdef SYS_pidfd_send_signal
  return syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0) == 0;
#else
  (void)pidfd;
  (void)sig;
  errno = ENOSYS;
  return false;
#endif
}

uint32_t ExitCodeOf(int status) {
  if (WIFEXITED(status))
    return static_cast<uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status))
    return Process::kSignalExitFlag | static_cast<uint32_t>(WTERMSIG(status));
  return Process::kSignalExitFlag;
}

// Resolves `name` to its ids and groups. False when the user is unknown.
bool LookUpUser(const std::string& name, UserIdentity* user) {
  struct passwd pwd;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwnam_r(name.c_str(), &pwd, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return false;
  }
  user->uid = found->pw_uid;
  user->gid = found->pw_gid;
  user->name = found->pw_name;
  user->home = found->pw_dir != nullptr ? found->pw_dir : "";
  int count = 32;
  for (int attempt = 0; attempt < 4; ++attempt) {
    user->groups.resize(static_cast<size_t>(count));
    int got = count;
    if (getgrouplist(found->pw_name, found->pw_gid, user->groups.data(), &got) >= 0) {
      user->groups.resize(static_cast<size_t>(got));
      return true;
    }
    count = got > count ? got : count * 2;
  }
  return false;
}

// Decides whether the child must leave root for the desktop user. False on
// failure (a desktop user that does not exist).
bool PlanIdentity(bool as_desktop_user, ChildPlan* plan) {
  if (!as_desktop_user || geteuid() != 0)
    return true;
  const std::string name = DesktopUserName();
  if (name.empty() || name == "root")
    return true;
  if (!LookUpUser(name, &plan->user))
    return false;
  plan->drop_privileges = plan->user.uid != 0;
  return true;
}

// The environment of the child; a child that runs as the desktop user gets
// that user's HOME, USER and LOGNAME, as a login of that user would.
void PlanEnvironment(ChildPlan* plan) {
  const char* replaced[] = {"HOME=", "USER=", "LOGNAME="};
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    bool skip = false;
    for (const char* prefix : replaced) {
      if (plan->drop_privileges && std::strncmp(*e, prefix, std::strlen(prefix)) == 0)
        skip = true;
    }
    if (!skip)
      plan->env_text.push_back(*e);
  }
  if (plan->drop_privileges) {
    plan->env_text.push_back("HOME=" + plan->user.home);
    plan->env_text.push_back("USER=" + plan->user.name);
    plan->env_text.push_back("LOGNAME=" + plan->user.name);
  }
  for (auto& text : plan->env_text)
    plan->envp.push_back(text.data());
  plan->envp.push_back(nullptr);
}

bool MakePlan(const std::vector<std::string>& argv, const StartOptions& options, ChildPlan* plan) {
  if (argv.empty() || argv[0].empty())
    return false;
  plan->argv_text = argv;
  for (auto& arg : plan->argv_text)
    plan->argv.push_back(arg.data());
  plan->argv.push_back(nullptr);
  plan->working_dir = options.working_dir;
  plan->hidden = options.hidden;
  if (!PlanIdentity(options.as_desktop_user, plan))
    return false;
  PlanEnvironment(plan);
  return true;
}

// ---- The fork path (changing the user) ------------------------------------

void WriteErrno(int fd, int error) {
  while (write(fd, &error, sizeof(error)) < 0 && errno == EINTR) {
  }
}

// Closes every descriptor from 3 up except `keep`.
void CloseOtherDescriptors(int keep) {
#ifdef SYS_close_range
  if (keep > 3)
    syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u);
  if (syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0)
    return;
#endif
  struct rlimit limit;
  int top = 65536;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < static_cast<rlim_t>(top)) {
    top = static_cast<int>(limit.rlim_cur);
  }
  for (int fd = 3; fd < top; ++fd) {
    if (fd != keep)
      close(fd);
  }
}

void ResetSignals() {
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof(dfl));
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP)
      sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool RedirectToNull() {
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0)
    return false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (dup2(null_fd, fd) < 0)
      return false;
  }
  if (null_fd > 2)
    close(null_fd);
  return true;
}

// Runs in the forked child: becomes what the plan says and executes the
// program; reports errno through `error_fd` (close-on-exec) when it cannot.
[[noreturn]] void BecomeChild(const ChildPlan& plan, int error_fd) {
  ResetSignals();
  CloseOtherDescriptors(error_fd);
  bool ok = !plan.hidden || RedirectToNull();
  if (ok && plan.drop_privileges) {
    ok = setgroups(plan.user.groups.size(), plan.user.groups.data()) == 0 &&
         setgid(plan.user.gid) == 0 && setuid(plan.user.uid) == 0;
  }
  if (ok && !plan.working_dir.empty())
    ok = chdir(plan.working_dir.c_str()) == 0;
  if (ok)
    execvpe(plan.argv[0], plan.argv.data(), plan.envp.data());
  WriteErrno(error_fd, errno != 0 ? errno : EINVAL);
  _exit(127);
}

void ReapBlocking(pid_t pid) {
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Reads the child's report: true when it reached exec (the pipe closed with
// nothing in it).
bool ChildExecuted(int read_fd) {
  int error = 0;
  ssize_t n;
  do {
    n = read(read_fd, &error, sizeof(error));
  } while (n < 0 && errno == EINTR);
  return n == 0;
}

// Starts the plan with fork and exec. With `detached` an intermediate child
// starts the program and exits at once, so init adopts the program and no
// one has to wait for it.
bool ForkStart(const ChildPlan& plan, bool detached, pid_t* pid_out) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0)
    return false;
  pid_t pid = fork();
  if (pid < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return false;
  }
  if (pid == 0) {
    close(pipe_fds[0]);
    if (!detached)
      BecomeChild(plan, pipe_fds[1]);
    setsid();
    pid_t grandchild = fork();
    if (grandchild == 0)
      BecomeChild(plan, pipe_fds[1]);
    if (grandchild < 0)
      WriteErrno(pipe_fds[1], errno);
    _exit(0);
  }
  close(pipe_fds[1]);
  const bool executed = ChildExecuted(pipe_fds[0]);
  close(pipe_fds[0]);
  if (detached || !executed)
    ReapBlocking(pid);
  if (!executed)
    return false;
  *pid_out = pid;
  return true;
}

// ---- The posix_spawn path ---------------------------------------------------

// glibc's posix_spawn reports exec errors (a missing program, a bad working
// folder) as its result, so a failed start is never a child that exits 127.
bool SpawnStart(const ChildPlan& plan, pid_t* pid_out) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0)
    return false;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  bool ok = true;
  if (plan.hidden) {
    ok = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
         posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
         posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0) == 0;
  }
  if (ok && !plan.working_dir.empty()) {
    ok = posix_spawn_file_actions_addchdir_np(&actions, plan.working_dir.c_str()) == 0;
  }
  // Descriptors the program left inheritable are still ours, not the child's.
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)
  if (ok) {
    ok = posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0;
  }
#endif

  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  if (ok) {
    ok = posix_spawnattr_setsigdefault(&attr, &all) == 0 &&
         posix_spawnattr_setsigmask(&attr, &none) == 0 &&
         posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
  }
  pid_t pid = -1;
  if (ok) {
    ok = posix_spawnp(&pid, plan.argv[0], &actions, &attr, plan.argv.data(), plan.envp.data()) == 0;
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (!ok)
    return false;
  *pid_out = pid;
  return true;
}

bool StartPlan(const ChildPlan& plan, pid_t* pid) {
  return plan.drop_privileges ? ForkStart(plan, false, pid) : SpawnStart(plan, pid);
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - std::chrono::steady_clock::now())
                  .count();
  if (left <= 0)
    return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

}  // namespace

int CurrentThreadId() {
  return static_cast<int>(gettid());
}

int CurrentProcessId() {
  return static_cast<int>(getpid());
}

Process::~Process() {
  // The child keeps running; reap it now if it already ended so it does not
  // stay a zombie. One that is still running is the owner's to have waited.
  if (pid_ > 0 && !reaped_) {
    while (waitpid(pid_, nullptr, WNOHANG) < 0 && errno == EINTR) {
    }
  }
  if (pidfd_ >= 0)
    close(pidfd_);
}

bool Process::Start(const std::vector<std::string>& argv, const StartOptions& options) {
  {
    std::lock_guard<std::mutex> lock(g_state_mutex);
    if (pid_ > 0 && !reaped_)
      return false;  // still owns a child
  }
  ChildPlan plan;
  if (!MakePlan(argv, options, &plan))
    return false;
  pid_t pid = -1;
  if (!StartPlan(plan, &pid))
    return false;

  if (pidfd_ >= 0)
    close(pidfd_);
  std::lock_guard<std::mutex> lock(g_state_mutex);
  pid_ = pid;
  pidfd_ = PidfdOpen(pid);
  reaped_ = false;
  terminated_ = false;
  exit_code_ = 0;
  terminate_code_ = 0;
  return true;
}

bool Process::StartCommandLine(const std::string& command_line, const StartOptions& options) {
  std::vector<std::string> argv = SplitCommandLine(command_line);
  if (argv.empty() || argv[0].empty())
    return false;
  return Start(argv, options);
}

bool Process::Wait(int timeout_ms, uint32_t* exit_code) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const bool forever = timeout_ms < 0;
  {
    std::lock_guard<std::mutex> lock(g_state_mutex);
    if (pid_ <= 0)
      return false;
    if (reaped_) {
      if (exit_code != nullptr)
        *exit_code = exit_code_;
      return true;
    }
  }
  for (;;) {
    if (pidfd_ >= 0) {
      struct pollfd ready = {pidfd_, POLLIN, 0};
      int n = poll(&ready, 1, forever ? -1 : RemainingMs(deadline));
      if (n < 0 && errno == EINTR)
        continue;
      if (n == 0)
        return false;
    }
    {
      std::lock_guard<std::mutex> lock(g_state_mutex);
      int status = 0;
      pid_t got = waitpid(pid_, &status, WNOHANG);
      if (got < 0 && errno == EINTR)
        continue;
      if (got != 0) {
        // ECHILD: someone else reaped it (SIGCHLD ignored); its code is lost.
        uint32_t code = got == pid_ ? ExitCodeOf(status) : kSignalExitFlag;
        const bool killed_by_us =
            terminated_ && (got != pid_ || (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL));
        exit_code_ = killed_by_us ? terminate_code_ : code;
        reaped_ = true;
        if (exit_code != nullptr)
          *exit_code = exit_code_;
        return true;
      }
    }
    if (pidfd_ < 0) {
      // No pidfd (old kernel): poll the child's state.
      if (!forever && RemainingMs(deadline) == 0)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

bool Process::Terminate(uint32_t exit_code) {
  std::lock_guard<std::mutex> lock(g_state_mutex);
  if (pid_ <= 0 || reaped_)
    return false;
  // Through the pidfd the signal cannot reach a recycled pid.
  const bool sent = pidfd_ >= 0 ? PidfdSendSignal(pidfd_, SIGKILL) : kill(pid_, SIGKILL) == 0;
  if (!sent)
    return false;
  terminated_ = true;
  terminate_code_ = exit_code;
  return true;
}

bool Process::running() const {
  std::lock_guard<std::mutex> lock(g_state_mutex);
  if (pid_ <= 0 || reaped_)
    return false;
  siginfo_t info;
  std::memset(&info, 0, sizeof(info));
  // WNOWAIT: look without reaping, so Wait still gets the exit code.
  if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
    return false;
  return info.si_pid == 0;
}

bool StartDetachedAsDesktopUser(const std::vector<std::string>& argv,
                                const std::string& working_dir) {
  StartOptions options;
  options.working_dir = working_dir;
  options.as_desktop_user = true;
  ChildPlan plan;
  if (!MakePlan(argv, options, &plan))
    return false;
  pid_t pid = -1;
  return ForkStart(plan, true, &pid);
}

bool OpenWithDesktop(const std::string& address) {
  if (address.empty())
    return false;
  std::string opener = "xdg-open";
  const char* browser = std::getenv("BROWSER");
  if (browser != nullptr) {
    std::string first(browser);
    first = first.substr(0, first.find_first_of(" \t:"));
    if (!first.empty())
      opener = first;
  }
  StartOptions options;
  options.as_desktop_user = true;
  options.hidden = true;
  ChildPlan plan;
  if (!MakePlan({opener, address}, options, &plan))
    return false;
  pid_t pid = -1;
  return ForkStart(plan, true, &pid);
}

}  // namespace platform
