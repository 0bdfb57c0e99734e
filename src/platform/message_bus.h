// The message bus: the stand-in for window handles and window messages.
//
// Handles are 32-bit numbers, unique on the machine and positive as signed
// numbers (they travel as decimal text on command lines). Every top-level
// window registers its class, title and process in the runtime folder and can
// be found by other processes; messages to a window of another process travel
// over a Unix datagram socket, messages within the process go straight into
// the process's queue. A registration disappears when the window is
// unregistered or its process dies.
//
// One MessageBus exists per process (Bus()). Every operation may be called
// from any thread; window procedures run on the thread that runs the loop
// (Run or DispatchPending), which is the UI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

using WindowHandle = uint32_t;  // 0: no window

inline constexpr uint32_t kWmCopyData = 0x004A;
inline constexpr uint32_t kWmUser = 0x0400;
// Bus-private message: bring the window to the front (restore when minimised,
// else show, then activate). Sent by ActivateWindow; the UI toolkit acts on it.
inline constexpr uint32_t kMsgBringToFront = 0xC001;

struct BusMessage {
  WindowHandle window = 0;
  uint32_t message = 0;
  uint64_t wparam = 0;
  int64_t lparam = 0;
  // WM_COPYDATA only: the text (UTF-8) and whether there was data at all
  // (a copy-data message without data has has_text false).
  bool has_text = false;
  std::string text;
  int sender_pid = 0;
};

// A window procedure; its result is what SendMessage returns.
using WindowProc = std::function<int64_t(const BusMessage&)>;

class MessageBus {
 public:
  virtual ~MessageBus() = default;

  // Registers a top-level window. 0 when it cannot be registered.
  virtual WindowHandle RegisterWindow(const std::string& window_class, const std::string& title,
                                      WindowProc proc) = 0;
  virtual void UnregisterWindow(WindowHandle window) = 0;
  virtual bool SetWindowTitle(WindowHandle window, const std::string& title) = 0;

  // A window of any process whose class matches and whose title matches
  // (any title when `title` is empty-optional). 0 when none is alive.
  virtual WindowHandle FindWindow(const std::string& window_class,
                                  const std::optional<std::string>& title) = 0;
  // True when `window` is registered by a living process.
  virtual bool IsWindow(WindowHandle window) = 0;

  // Queues a message for `window` and returns at once.
  virtual bool PostMessage(WindowHandle window, uint32_t message, uint64_t wparam,
                           int64_t lparam) = 0;
  // Delivers a message and waits up to `timeout_ms` for the window
  // procedure's result. Within the loop thread the procedure is called
  // directly. False on time-out or when the window is gone.
  virtual bool SendMessage(WindowHandle window, uint32_t message, uint64_t wparam, int64_t lparam,
                           int timeout_ms, int64_t* result) = 0;
  // WM_COPYDATA with a text: sent like SendMessage.
  virtual bool SendCopyData(WindowHandle window, const std::string& text, int timeout_ms,
                            int64_t* result) = 0;

  // Runs the loop on the calling thread until PostQuit; returns its code.
  virtual int Run() = 0;
  // Ends Run (from any thread).
  virtual void PostQuit(int exit_code) = 0;
  // For a toolkit's own loop: a descriptor that is readable while messages
  // are pending, and the call that dispatches them on the calling thread.
  virtual int EventFd() = 0;
  virtual void DispatchPending() = 0;
};

// The process's bus, created on first use.
MessageBus& Bus();

// Finds the window (class, title) and asks it to come to the front. False
// when there is no such window.
bool ActivateWindow(const std::string& window_class, const std::string& title);

}  // namespace platform
