// The message bus on Linux.
//
// Each window of this process owns a Unix datagram socket bound to an
// abstract address built from a hash of the runtime folder and the handle, so
// a sender needs nothing but the handle to reach it, the address vanishes with
// the process, and sandboxes with different runtime folders never meet. The
// window's class, title and owner (pid plus process start time, so a reused
// pid is not mistaken for the owner) are kept in a small file
// <runtime>/bus/<handle>.window for FindWindow. Handles come from a counter
// file updated under flock.
//
// One listener thread reads the sockets of all windows and feeds the queue;
// the thread that runs the loop dispatches the queue. A cross-process
// SendMessage waits on a private autobound socket for the reply datagram.
#include "platform/message_bus.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "platform/paths.h"

namespace platform {
namespace {

// Handles stay positive as int32 because they travel as decimal text.
constexpr uint32_t kMaxHandle = 0x7FFFFFFE;
// How many candidate handles one registration tries before giving up.
constexpr int kMaxHandleAttempts = 4096;
constexpr size_t kMaxText = 64 * 1024;
// A flooding sender must not exhaust memory; beyond this, datagrams are dropped.
constexpr size_t kMaxQueuedRemote = 65536;
// A post to another process may wait this long for room in its socket queue.
constexpr int kPostSendTimeoutMs = 1000;

// ---------------------------------------------------------------------------
// Descriptors

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

void SignalEventFd(int fd) {
  uint64_t one = 1;
  while (write(fd, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

void DrainEventFd(int fd) {
  uint64_t value = 0;
  while (read(fd, &value, sizeof(value)) < 0 && errno == EINTR) {
  }
}

// Waits until `fd` is readable or `timeout_ms` passes (-1: no limit).
bool WaitReadable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  int rc;
  while ((rc = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
  }
  return rc > 0;
}

// ---------------------------------------------------------------------------
// Processes

// Start time (clock ticks since boot) of a running process; nothing when it
// is gone or a zombie.
std::optional<uint64_t> ProcessStartTime(int pid) {
  if (pid <= 0)
    return std::nullopt;
  UniqueFd fd(open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid())
    return std::nullopt;
  char buffer[1024];
  ssize_t n = read(fd.get(), buffer, sizeof(buffer) - 1);
  if (n <= 0)
    return std::nullopt;
  std::string stat(buffer, static_cast<size_t>(n));
  // The command name may hold blanks and parentheses; fields resume after the last ')'.
  size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos)
    return std::nullopt;
  std::vector<std::string> fields;
  size_t pos = close_paren + 1;
  while (pos < stat.size() && fields.size() < 20) {
    size_t start = stat.find_first_not_of(' ', pos);
    if (start == std::string::npos)
      break;
    size_t end = stat.find(' ', start);
    if (end == std::string::npos)
      end = stat.size();
    fields.push_back(stat.substr(start, end - start));
    pos = end;
  }
  // fields[0] is field 3 (state), so field 22 (starttime) is fields[19].
  if (fields.size() < 20)
    return std::nullopt;
  if (fields[0] == "Z" || fields[0] == "X")
    return std::nullopt;
  uint64_t start_time = 0;
  const std::string& text = fields[19];
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), start_time);
  if (ec != std::errc() || ptr != text.data() + text.size())
    return std::nullopt;
  return start_time;
}

// ---------------------------------------------------------------------------
// Registration files

struct Registration {
  std::string window_class;
  std::string title;
  int pid = 0;
  uint64_t start_time = 0;
};

bool IsAlive(const Registration& registration) {
  std::optional<uint64_t> start = ProcessStartTime(registration.pid);
  return start && *start == registration.start_time;
}

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

bool Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *out += text[i];
      continue;
    }
    if (++i == text.size())
      return false;
    if (text[i] == '\\') {
      *out += '\\';
    } else if (text[i] == 'n') {
      *out += '\n';
    } else {
      return false;
    }
  }
  return true;
}

constexpr char kRegistrationHeader[] = "tav-window 1";

std::string FormatRegistration(const Registration& registration) {
  std::string out = std::string(kRegistrationHeader) + "\n";
  out += "pid " + std::to_string(registration.pid) + "\n";
  out += "start " + std::to_string(registration.start_time) + "\n";
  out += "class " + Escape(registration.window_class) + "\n";
  out += "title " + Escape(registration.title) + "\n";
  return out;
}

template <typename T>
bool ParseDecimal(const std::string& text, T* value) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && ptr == text.data() + text.size() && !text.empty();
}

std::optional<Registration> ParseRegistration(const std::string& content) {
  std::map<std::string, std::string> fields;
  size_t pos = 0;
  bool first = true;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string::npos)
      return std::nullopt;  // every line ends with '\n'
    std::string line = content.substr(pos, end - pos);
    pos = end + 1;
    if (first) {
      if (line != kRegistrationHeader)
        return std::nullopt;
      first = false;
      continue;
    }
    size_t blank = line.find(' ');
    if (blank == std::string::npos)
      return std::nullopt;
    fields[line.substr(0, blank)] = line.substr(blank + 1);
  }
  Registration registration;
  if (first || fields.size() != 4)
    return std::nullopt;
  if (!ParseDecimal(fields["pid"], &registration.pid))
    return std::nullopt;
  if (!ParseDecimal(fields["start"], &registration.start_time))
    return std::nullopt;
  if (!Unescape(fields["class"], &registration.window_class))
    return std::nullopt;
  if (!Unescape(fields["title"], &registration.title))
    return std::nullopt;
  return registration;
}

bool ReadSmallFile(const std::string& path, std::string* content) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid())
    return false;
  content->clear();
  char buffer[4096];
  while (true) {
    ssize_t n = read(fd.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      return true;
    content->append(buffer, static_cast<size_t>(n));
    if (content->size() > 4 * kMaxText)
      return false;  // not one of ours
  }
}

bool WriteAll(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Readers see either the old or the new file, never a part.
bool WriteAtomically(const std::string& path, const std::string& content) {
  std::string temp = path + ".tmp." + std::to_string(getpid());
  UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid())
    return false;
  bool ok = WriteAll(fd.get(), content);
  fd.Reset();
  if (ok && rename(temp.c_str(), path.c_str()) == 0)
    return true;
  unlink(temp.c_str());
  return false;
}

std::string BusFolderOf(const std::string& runtime_folder) {
  if (runtime_folder.empty())
    return {};
  std::string folder = runtime_folder + "/bus";
  return CreateDirectories(folder) ? folder : std::string();
}

std::string RegistrationPath(const std::string& bus_folder, WindowHandle window) {
  return bus_folder + "/" + std::to_string(window) + ".window";
}

std::optional<Registration> ReadRegistration(const std::string& bus_folder, WindowHandle window) {
  std::string content;
  if (!ReadSmallFile(RegistrationPath(bus_folder, window), &content))
    return std::nullopt;
  return ParseRegistration(content);
}

// Handles of all registration files in the folder, in ascending order.
std::vector<WindowHandle> ListRegistrations(const std::string& bus_folder) {
  std::vector<WindowHandle> handles;
  DIR* dir = opendir(bus_folder.c_str());
  if (dir == nullptr)
    return handles;
  const std::string suffix = ".window";
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() <= suffix.size())
      continue;
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    WindowHandle handle = 0;
    if (!ParseDecimal(name.substr(0, name.size() - suffix.size()), &handle))
      continue;
    if (handle != 0 && handle <= kMaxHandle)
      handles.push_back(handle);
  }
  closedir(dir);
  std::sort(handles.begin(), handles.end());
  return handles;
}

// Exclusive hold of the handle counter: serialises handle allocation and the
// removal of stale registrations across processes.
class HandleLock {
 public:
  explicit HandleLock(const std::string& bus_folder) {
    fd_ = UniqueFd(open((bus_folder + "/handles").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd_.valid())
      return;
    int rc;
    while ((rc = flock(fd_.get(), LOCK_EX)) < 0 && errno == EINTR) {
    }
    if (rc < 0)
      fd_.Reset();
  }
  ~HandleLock() {
    if (fd_.valid())
      flock(fd_.get(), LOCK_UN);
  }
  HandleLock(const HandleLock&) = delete;
  HandleLock& operator=(const HandleLock&) = delete;

  bool ok() const { return fd_.valid(); }

  uint32_t LastHandle() const {
    char buffer[32];
    ssize_t n = pread(fd_.get(), buffer, sizeof(buffer) - 1, 0);
    if (n <= 0)
      return 0;
    std::string text(buffer, static_cast<size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
      text.pop_back();
    uint32_t value = 0;
    if (!ParseDecimal(text, &value) || value > kMaxHandle)
      return 0;
    return value;
  }

  void SetLastHandle(uint32_t value) {
    std::string text = std::to_string(value) + "\n";
    if (pwrite(fd_.get(), text.data(), text.size(), 0) == static_cast<ssize_t>(text.size())) {
      if (ftruncate(fd_.get(), static_cast<off_t>(text.size())) != 0) {
        // A longer stale tail would only make the next read fall back to 0.
      }
    }
  }

 private:
  UniqueFd fd_;
};

// Deletes a registration whose owner is dead, re-checking under the lock so a
// fresh registration of the same handle by another process is not lost.
void RemoveIfStale(const std::string& bus_folder, WindowHandle window) {
  HandleLock lock(bus_folder);
  if (!lock.ok())
    return;
  std::optional<Registration> registration = ReadRegistration(bus_folder, window);
  if (!registration || IsAlive(*registration))
    return;
  unlink(RegistrationPath(bus_folder, window).c_str());
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z')
      x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z')
      y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y)
      return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Socket addresses

struct SocketAddress {
  sockaddr_un addr{};
  socklen_t length = 0;
};

uint64_t Fnv1a(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// "\0tav-bus/<hash of the runtime folder>/<handle>" in the abstract namespace.
SocketAddress WindowAddress(const std::string& runtime_folder, WindowHandle window) {
  char hash[17];
  snprintf(hash, sizeof(hash), "%016llx", static_cast<unsigned long long>(Fnv1a(runtime_folder)));
  std::string name = "tav-bus/" + std::string(hash) + "/" + std::to_string(window);
  SocketAddress address;
  address.addr.sun_family = AF_UNIX;
  address.addr.sun_path[0] = '\0';
  memcpy(address.addr.sun_path + 1, name.data(), name.size());
  address.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return address;
}

UniqueFd NewDatagramSocket() {
  return UniqueFd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

// A socket with a kernel-chosen abstract address, to receive replies on.
UniqueFd NewReplySocket() {
  UniqueFd fd = NewDatagramSocket();
  if (!fd.valid())
    return fd;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(sa_family_t)) != 0)
    fd.Reset();
  return fd;
}

// The window's listening socket; invalid with errno EADDRINUSE when another
// process holds the address.
UniqueFd BindWindowSocket(const std::string& runtime_folder, WindowHandle window) {
  UniqueFd fd = NewDatagramSocket();
  if (!fd.valid())
    return fd;
  int on = 1;
  // The kernel then tells us the sender's pid with every datagram.
  setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
  SocketAddress address = WindowAddress(runtime_folder, window);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address.addr), address.length) != 0) {
    int error = errno;
    fd.Reset();
    errno = error;
  }
  return fd;
}

// Sends one datagram, waiting up to `timeout_ms` for room in the receiver's queue.
bool SendDatagram(int fd, const SocketAddress& to, const std::string& data, int timeout_ms) {
  int flags = MSG_NOSIGNAL;
  if (timeout_ms <= 0) {
    flags |= MSG_DONTWAIT;
  } else {
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  }
  while (true) {
    ssize_t n = sendto(fd, data.data(), data.size(), flags,
                       reinterpret_cast<const sockaddr*>(&to.addr), to.length);
    if (n < 0 && errno == EINTR)
      continue;
    return n == static_cast<ssize_t>(data.size());
  }
}

// ---------------------------------------------------------------------------
// Wire format: a fixed header in host byte order (both ends are on one
// machine), then the text.
//
//   "TAVB" | u16 version | u16 kind | u32 window | u32 message | u64 wparam |
//   i64 lparam | u64 sequence | u32 flags | u32 text length | text

constexpr char kMagic[4] = {'T', 'A', 'V', 'B'};
constexpr uint16_t kWireVersion = 1;
constexpr size_t kHeaderSize = 48;
constexpr uint32_t kFlagHasText = 1;
constexpr uint32_t kFlagOk = 2;  // replies: the procedure ran
constexpr uint32_t kKnownFlags = kFlagHasText | kFlagOk;

enum class Kind : uint16_t { kPost = 1, kSend = 2, kReply = 3 };

struct Datagram {
  Kind kind = Kind::kPost;
  WindowHandle window = 0;
  uint32_t message = 0;
  uint64_t wparam = 0;
  int64_t lparam = 0;  // replies: the procedure's result
  uint64_t sequence = 0;
  bool has_text = false;
  bool ok = false;
  std::string text;
};

template <typename T>
void Put(std::string* out, T value) {
  char bytes[sizeof(T)];
  memcpy(bytes, &value, sizeof(T));
  out->append(bytes, sizeof(T));
}

template <typename T>
T Get(const char* data, size_t* offset) {
  T value;
  memcpy(&value, data + *offset, sizeof(T));
  *offset += sizeof(T);
  return value;
}

std::string Encode(const Datagram& d) {
  std::string out(kMagic, sizeof(kMagic));
  Put<uint16_t>(&out, kWireVersion);
  Put<uint16_t>(&out, static_cast<uint16_t>(d.kind));
  Put<uint32_t>(&out, d.window);
  Put<uint32_t>(&out, d.message);
  Put<uint64_t>(&out, d.wparam);
  Put<int64_t>(&out, d.lparam);
  Put<uint64_t>(&out, d.sequence);
  Put<uint32_t>(&out, (d.has_text ? kFlagHasText : 0) | (d.ok ? kFlagOk : 0));
  Put<uint32_t>(&out, static_cast<uint32_t>(d.text.size()));
  out += d.text;
  return out;
}

std::optional<Datagram> Decode(const char* data, size_t size) {
  if (size < kHeaderSize || memcmp(data, kMagic, sizeof(kMagic)) != 0)
    return std::nullopt;
  size_t offset = sizeof(kMagic);
  if (Get<uint16_t>(data, &offset) != kWireVersion)
    return std::nullopt;
  Datagram d;
  uint16_t kind = Get<uint16_t>(data, &offset);
  if (kind < 1 || kind > 3)
    return std::nullopt;
  d.kind = static_cast<Kind>(kind);
  d.window = Get<uint32_t>(data, &offset);
  d.message = Get<uint32_t>(data, &offset);
  d.wparam = Get<uint64_t>(data, &offset);
  d.lparam = Get<int64_t>(data, &offset);
  d.sequence = Get<uint64_t>(data, &offset);
  uint32_t flags = Get<uint32_t>(data, &offset);
  uint32_t text_size = Get<uint32_t>(data, &offset);
  if ((flags & ~kKnownFlags) != 0 || text_size > kMaxText)
    return std::nullopt;
  if (size != kHeaderSize + text_size)
    return std::nullopt;
  d.has_text = (flags & kFlagHasText) != 0;
  d.ok = (flags & kFlagOk) != 0;
  if (!d.has_text && text_size != 0)
    return std::nullopt;
  d.text.assign(data + kHeaderSize, text_size);
  return d;
}

// ---------------------------------------------------------------------------
// The bus

struct LocalWindow {
  WindowHandle handle = 0;
  std::string bus_folder;
  Registration registration;  // guarded by the bus's lifecycle mutex
  WindowProc proc;
  std::thread::id owner;
  UniqueFd socket;  // closed when the last holder (map or listener) lets go
};

struct Waiter {
  bool done = false;
  bool ok = false;
  int64_t result = 0;
};

struct QueuedMessage {
  BusMessage message;
  std::shared_ptr<Waiter> waiter;         // a SendMessage of this process
  std::optional<SocketAddress> reply_to;  // a SendMessage of another process
  uint64_t sequence = 0;
};

// How deep the calling thread is in Run/DispatchPending.
thread_local int t_loop_depth = 0;

class PosixMessageBus : public MessageBus {
 public:
  PosixMessageBus() : pid_(getpid()) {
    event_fd_ = UniqueFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    listener_wake_ = UniqueFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    std::random_device random;
    next_sequence_ = (static_cast<uint64_t>(random()) << 32) ^ random();
  }

  ~PosixMessageBus() override {
    if (getpid() != pid_) {
      // A forked child: the windows, files and listener thread are the parent's.
      if (listener_)
        static_cast<void>(listener_.release());
      return;
    }
    std::lock_guard<std::mutex> life(lifecycle_mutex_);
    std::map<WindowHandle, std::shared_ptr<LocalWindow>> windows;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      windows.swap(windows_);
    }
    for (auto& [handle, window] : windows)
      unlink(RegistrationPath(window->bus_folder, handle).c_str());
    StopListener();
  }

  WindowHandle RegisterWindow(const std::string& window_class, const std::string& title,
                              WindowProc proc) override {
    if (!proc || !event_fd_.valid() || !listener_wake_.valid())
      return 0;
    std::string runtime = RuntimeFolder();
    std::string bus_folder = BusFolderOf(runtime);
    std::optional<uint64_t> start_time = ProcessStartTime(getpid());
    if (bus_folder.empty() || !start_time)
      return 0;

    auto window = std::make_shared<LocalWindow>();
    window->bus_folder = bus_folder;
    window->registration = {window_class, title, getpid(), *start_time};
    window->proc = std::move(proc);
    window->owner = std::this_thread::get_id();

    std::lock_guard<std::mutex> life(lifecycle_mutex_);
    if (!AllocateHandle(runtime, window.get()))
      return 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      windows_[window->handle] = window;
    }
    if (!StartOrWakeListener()) {
      RemoveLocked(window->handle);
      return 0;
    }
    return window->handle;
  }

  void UnregisterWindow(WindowHandle window) override {
    std::lock_guard<std::mutex> life(lifecycle_mutex_);
    RemoveLocked(window);
  }

  bool SetWindowTitle(WindowHandle window, const std::string& title) override {
    std::lock_guard<std::mutex> life(lifecycle_mutex_);
    std::shared_ptr<LocalWindow> local = FindLocal(window);
    if (!local)
      return false;
    Registration updated = local->registration;
    updated.title = title;
    if (!WriteAtomically(RegistrationPath(local->bus_folder, window),
                         FormatRegistration(updated))) {
      return false;
    }
    local->registration = updated;
    return true;
  }

  WindowHandle FindWindow(const std::string& window_class,
                          const std::optional<std::string>& title) override {
    std::string bus_folder = BusFolderOf(RuntimeFolder());
    if (bus_folder.empty())
      return 0;
    for (WindowHandle handle : ListRegistrations(bus_folder)) {
      std::optional<Registration> registration = ReadRegistration(bus_folder, handle);
      if (!registration)
        continue;
      if (!EqualsIgnoringAsciiCase(registration->window_class, window_class))
        continue;
      if (title && !EqualsIgnoringAsciiCase(registration->title, *title))
        continue;
      if (!IsAlive(*registration)) {
        RemoveIfStale(bus_folder, handle);
        continue;
      }
      return handle;
    }
    return 0;
  }

  bool IsWindow(WindowHandle window) override {
    if (window == 0)
      return false;
    if (FindLocal(window))
      return true;
    std::string bus_folder = BusFolderOf(RuntimeFolder());
    if (bus_folder.empty())
      return false;
    std::optional<Registration> registration = ReadRegistration(bus_folder, window);
    if (!registration)
      return false;
    if (IsAlive(*registration))
      return true;
    RemoveIfStale(bus_folder, window);
    return false;
  }

  bool PostMessage(WindowHandle window, uint32_t message, uint64_t wparam,
                   int64_t lparam) override {
    if (window == 0)
      return false;
    BusMessage m = MakeMessage(window, message, wparam, lparam);
    if (FindLocal(window)) {
      QueuedMessage queued;
      queued.message = std::move(m);
      Enqueue(std::move(queued));
      return true;
    }
    std::string runtime = RuntimeFolder();
    UniqueFd fd = NewDatagramSocket();
    if (runtime.empty() || !fd.valid())
      return false;
    Datagram d{Kind::kPost, window, message, wparam, lparam, 0, false, false, {}};
    return SendDatagram(fd.get(), WindowAddress(runtime, window), Encode(d), kPostSendTimeoutMs);
  }

  bool SendMessage(WindowHandle window, uint32_t message, uint64_t wparam, int64_t lparam,
                   int timeout_ms, int64_t* result) override {
    return Send(MakeMessage(window, message, wparam, lparam), timeout_ms, result);
  }

  bool SendCopyData(WindowHandle window, const std::string& text, int timeout_ms,
                    int64_t* result) override {
    if (text.size() > kMaxText)
      return false;
    BusMessage m = MakeMessage(window, kWmCopyData, 0, 0);
    m.has_text = true;
    m.text = text;
    return Send(std::move(m), timeout_ms, result);
  }

  int Run() override {
    LoopScope scope(this);
    while (true) {
      DispatchPending();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (quit_pending_) {
          quit_pending_ = false;
          return quit_code_;
        }
      }
      WaitReadable(event_fd_.get(), -1);
    }
  }

  void PostQuit(int exit_code) override {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_pending_ = true;
    quit_code_ = exit_code;
    SignalEventFd(event_fd_.get());
  }

  int EventFd() override { return event_fd_.get(); }

  void DispatchPending() override {
    LoopScope scope(this);
    std::deque<QueuedMessage> batch;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      DrainEventFd(event_fd_.get());
      batch.swap(queue_);
    }
    for (QueuedMessage& queued : batch)
      Deliver(queued);
  }

 private:
  // Marks the calling thread as the loop thread while it runs the loop.
  class LoopScope {
   public:
    explicit LoopScope(PosixMessageBus* bus) : bus_(bus) {
      if (t_loop_depth++ == 0)
        bus_->threads_in_loop_.fetch_add(1);
    }
    ~LoopScope() {
      if (--t_loop_depth == 0)
        bus_->threads_in_loop_.fetch_sub(1);
    }
    LoopScope(const LoopScope&) = delete;
    LoopScope& operator=(const LoopScope&) = delete;

   private:
    PosixMessageBus* bus_;
  };

  static BusMessage MakeMessage(WindowHandle window, uint32_t message, uint64_t wparam,
                                int64_t lparam) {
    BusMessage m;
    m.window = window;
    m.message = message;
    m.wparam = wparam;
    m.lparam = lparam;
    m.sender_pid = getpid();
    return m;
  }

  // The thread in the loop, or, while no loop runs, the window's creator.
  bool IsLoopThreadFor(const LocalWindow& window) const {
    if (t_loop_depth > 0)
      return true;
    if (threads_in_loop_.load() > 0)
      return false;
    return window.owner == std::this_thread::get_id();
  }

  std::shared_ptr<LocalWindow> FindLocal(WindowHandle window) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windows_.find(window);
    return it == windows_.end() ? nullptr : it->second;
  }

  // Picks the next free handle, binds its socket and writes its registration,
  // all under the handle lock. Caller holds lifecycle_mutex_.
  bool AllocateHandle(const std::string& runtime, LocalWindow* window) {
    HandleLock lock(window->bus_folder);
    if (!lock.ok())
      return false;
    uint32_t candidate = lock.LastHandle();
    for (int attempt = 0; attempt < kMaxHandleAttempts; ++attempt) {
      candidate = candidate >= kMaxHandle ? 1 : candidate + 1;
      if (FindLocal(candidate))
        continue;
      std::optional<Registration> existing = ReadRegistration(window->bus_folder, candidate);
      if (existing && IsAlive(*existing))
        continue;
      UniqueFd fd = BindWindowSocket(runtime, candidate);
      if (!fd.valid() && errno == EADDRINUSE)
        continue;
      if (!fd.valid())
        return false;
      if (!WriteAtomically(RegistrationPath(window->bus_folder, candidate),
                           FormatRegistration(window->registration))) {
        return false;
      }
      lock.SetLastHandle(candidate);
      window->handle = candidate;
      window->socket = std::move(fd);
      return true;
    }
    return false;
  }

  // Caller holds lifecycle_mutex_.
  void RemoveLocked(WindowHandle window) {
    std::shared_ptr<LocalWindow> removed;
    bool last = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = windows_.find(window);
      if (it == windows_.end())
        return;
      removed = it->second;
      windows_.erase(it);
      last = windows_.empty();
    }
    unlink(RegistrationPath(removed->bus_folder, window).c_str());
    if (last) {
      StopListener();
    } else {
      SignalEventFd(listener_wake_.get());  // lets go of the closed window's socket
    }
  }

  // Caller holds lifecycle_mutex_.
  bool StartOrWakeListener() {
    if (listener_) {
      SignalEventFd(listener_wake_.get());
      return true;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      listener_stop_ = false;
    }
    DrainEventFd(listener_wake_.get());
    try {
      listener_ = std::make_unique<std::thread>([this] { ListenerMain(); });
    } catch (...) {
      return false;
    }
    return true;
  }

  // Caller holds lifecycle_mutex_; mutex_ must not be held.
  void StopListener() {
    if (!listener_)
      return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      listener_stop_ = true;
    }
    SignalEventFd(listener_wake_.get());
    listener_->join();
    listener_.reset();
  }

  void ListenerMain() {
    std::vector<char> buffer(kHeaderSize + kMaxText + 1);
    while (true) {
      std::vector<std::shared_ptr<LocalWindow>> windows;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (listener_stop_)
          return;
        for (auto& [handle, window] : windows_)
          windows.push_back(window);
      }
      std::vector<pollfd> fds;
      fds.push_back({listener_wake_.get(), POLLIN, 0});
      for (auto& window : windows)
        fds.push_back({window->socket.get(), POLLIN, 0});
      if (poll(fds.data(), fds.size(), -1) < 0)
        continue;  // EINTR
      if (fds[0].revents != 0) {
        DrainEventFd(listener_wake_.get());
        continue;  // the set of windows changed, or a stop
      }
      for (size_t i = 0; i < windows.size(); ++i) {
        if (fds[i + 1].revents != 0)
          ReadDatagrams(*windows[i], &buffer);
      }
    }
  }

  void ReadDatagrams(const LocalWindow& window, std::vector<char>* buffer) {
    while (true) {
      SocketAddress from;
      iovec iov{buffer->data(), buffer->size()};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
      msghdr msg{};
      msg.msg_name = &from.addr;
      msg.msg_namelen = sizeof(from.addr);
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof(control);
      ssize_t n = recvmsg(window.socket.get(), &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        return;  // drained
      from.length = msg.msg_namelen;
      if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0)
        continue;
      std::optional<Datagram> d = Decode(buffer->data(), static_cast<size_t>(n));
      if (!d || d->kind == Kind::kReply || d->window != window.handle)
        continue;
      AcceptDatagram(std::move(*d), from, SenderPid(msg));
    }
  }

  static int SenderPid(msghdr& msg) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS)
        continue;
      ucred cred;
      memcpy(&cred, CMSG_DATA(c), sizeof(cred));
      return cred.pid;
    }
    return 0;
  }

  void AcceptDatagram(Datagram d, const SocketAddress& from, int sender_pid) {
    QueuedMessage queued;
    queued.message.window = d.window;
    queued.message.message = d.message;
    queued.message.wparam = d.wparam;
    queued.message.lparam = d.lparam;
    queued.message.has_text = d.has_text;
    queued.message.text = std::move(d.text);
    queued.message.sender_pid = sender_pid;
    // A reply can only go to a sender with an abstract address of its own.
    bool can_reply = from.length > offsetof(sockaddr_un, sun_path) + 1 &&
                     from.addr.sun_family == AF_UNIX && from.addr.sun_path[0] == '\0';
    if (d.kind == Kind::kSend && can_reply) {
      queued.reply_to = from;
      queued.sequence = d.sequence;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= kMaxQueuedRemote)
      return;
    queue_.push_back(std::move(queued));
    SignalEventFd(event_fd_.get());
  }

  void Enqueue(QueuedMessage queued) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(queued));
    SignalEventFd(event_fd_.get());
  }

  // Runs the window procedure (unless the window has gone) and answers a waiting sender.
  void Deliver(QueuedMessage& queued) {
    std::shared_ptr<LocalWindow> window = FindLocal(queued.message.window);
    bool ok = false;
    int64_t result = 0;
    if (window) {
      result = window->proc(queued.message);
      ok = true;
    }
    if (queued.waiter) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        queued.waiter->done = true;
        queued.waiter->ok = ok;
        queued.waiter->result = result;
      }
      replied_.notify_all();
    }
    if (queued.reply_to) {
      Datagram reply;
      reply.kind = Kind::kReply;
      reply.window = queued.message.window;
      reply.message = queued.message.message;
      reply.lparam = result;
      reply.sequence = queued.sequence;
      reply.ok = ok;
      UniqueFd fd = NewDatagramSocket();
      if (fd.valid())
        SendDatagram(fd.get(), *queued.reply_to, Encode(reply), 0);
    }
  }

  bool Send(BusMessage m, int timeout_ms, int64_t* result) {
    if (m.window == 0)
      return false;
    timeout_ms = std::max(timeout_ms, 0);
    std::shared_ptr<LocalWindow> window = FindLocal(m.window);
    if (!window)
      return SendToOtherProcess(m, timeout_ms, result);
    if (IsLoopThreadFor(*window)) {
      int64_t value = window->proc(m);
      if (result != nullptr)
        *result = value;
      return true;
    }
    window.reset();
    auto waiter = std::make_shared<Waiter>();
    QueuedMessage queued;
    queued.message = std::move(m);
    queued.waiter = waiter;
    Enqueue(std::move(queued));
    std::unique_lock<std::mutex> lock(mutex_);
    if (!replied_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return waiter->done; })) {
      return false;
    }
    if (waiter->ok && result != nullptr)
      *result = waiter->result;
    return waiter->ok;
  }

  bool SendToOtherProcess(const BusMessage& m, int timeout_ms, int64_t* result) {
    std::string runtime = RuntimeFolder();
    UniqueFd fd = NewReplySocket();
    if (runtime.empty() || !fd.valid())
      return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    Datagram request{Kind::kSend, m.window, m.message,
                     m.wparam,    m.lparam, next_sequence_.fetch_add(1),
                     m.has_text,  false,    m.text};
    if (!SendDatagram(fd.get(), WindowAddress(runtime, m.window), Encode(request), timeout_ms)) {
      return false;
    }
    std::vector<char> buffer(kHeaderSize + 1);
    while (true) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (!WaitReadable(fd.get(), static_cast<int>(std::max<int64_t>(left.count(), 0)))) {
        return false;
      }
      ssize_t n = recv(fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0)
        continue;
      std::optional<Datagram> reply = Decode(buffer.data(), static_cast<size_t>(n));
      if (!reply || reply->kind != Kind::kReply || reply->sequence != request.sequence ||
          reply->window != m.window) {
        continue;  // not our answer
      }
      if (reply->ok && result != nullptr)
        *result = reply->lparam;
      return reply->ok;
    }
  }

  const int pid_;
  UniqueFd event_fd_;       // readable while messages are queued
  UniqueFd listener_wake_;  // wakes the listener to re-read the window set or stop
  std::atomic<uint64_t> next_sequence_{0};
  std::atomic<int> threads_in_loop_{0};

  std::mutex lifecycle_mutex_;  // registrations, their files, the listener thread
  std::unique_ptr<std::thread> listener_;

  std::mutex mutex_;  // everything below
  std::condition_variable replied_;
  std::map<WindowHandle, std::shared_ptr<LocalWindow>> windows_;
  std::deque<QueuedMessage> queue_;
  bool listener_stop_ = false;
  bool quit_pending_ = false;
  int quit_code_ = 0;
};

}  // namespace

MessageBus& Bus() {
  static PosixMessageBus bus;
  return bus;
}

bool ActivateWindow(const std::string& window_class, const std::string& title) {
  WindowHandle window = Bus().FindWindow(window_class, title);
  if (window == 0)
    return false;
  return Bus().PostMessage(window, kMsgBringToFront, 0, 0);
}

}  // namespace platform
