#include "platform/message_bus.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "support/sandbox.h"

extern char** environ;

namespace platform {
namespace {

// A registered window that records what reaches its procedure.
class TestWindow {
 public:
  explicit TestWindow(const std::string& window_class = "TavBusTest",
                      const std::string& title = "Main", int64_t result = 0)
      : result_(result) {
    handle_ = Bus().RegisterWindow(window_class, title, [this](const BusMessage& m) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(m);
      return result_;
    });
  }
  ~TestWindow() { Bus().UnregisterWindow(handle_); }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  WindowHandle handle() const { return handle_; }
  std::vector<BusMessage> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  WindowHandle handle_ = 0;
  int64_t result_;
  std::mutex mutex_;
  std::vector<BusMessage> received_;
};

// Dispatches on this thread until `done` holds; gives up after about 5 s so a
// lost message fails the test instead of hanging it.
bool PumpUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 200 && !done(); ++i) {
    pollfd p{Bus().EventFd(), POLLIN, 0};
    poll(&p, 1, 25);
    Bus().DispatchPending();
  }
  return done();
}

pid_t StartTavPost(const std::vector<std::string>& args) {
  std::vector<std::string> all = {TAV_POST_EXE};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, TAV_POST_EXE, nullptr, nullptr, argv.data(), environ) != 0)
    return -1;
  return pid;
}

// Exit code of the finished child; -1 when it did not exit normally.
int WaitExit(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid)
    return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The abstract socket address a window listens on, as the bus forms it.
sockaddr_un WindowSocketAddress(WindowHandle window, socklen_t* length) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : RuntimeFolder()) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  char hex[17];
  snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(hash));
  std::string name = "tav-bus/" + std::string(hex) + "/" + std::to_string(window);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path + 1, name.data(), name.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return addr;
}

class MessageBusTest : public ::testing::Test {
 protected:
  void SetUp() override { Bus().DispatchPending(); }  // nothing left over from other tests

  tavtest::Sandbox sandbox_;
};

TEST_F(MessageBusTest, FindsWindowsByClassAndTitle) {
  TestWindow main("TavBusTest", "Main");
  TestWindow other("TavBusOther", "Second");
  ASSERT_NE(main.handle(), 0u);
  ASSERT_NE(other.handle(), 0u);
  struct Case {
    const char* name;
    std::string window_class;
    std::optional<std::string> title;
    WindowHandle expected;
  };
  const Case cases[] = {
      {"class and title", "TavBusTest", std::string("Main"), main.handle()},
      {"any title", "TavBusTest", std::nullopt, main.handle()},
      {"other class", "TavBusOther", std::nullopt, other.handle()},
      {"case of class and title ignored", "tavbustest", std::string("MAIN"), main.handle()},
      {"wrong title", "TavBusTest", std::string("Second"), 0},
      {"empty title is a title", "TavBusTest", std::string(), 0},
      {"unknown class", "TavBusNone", std::nullopt, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Bus().FindWindow(c.window_class, c.title), c.expected);
  }
  EXPECT_TRUE(Bus().IsWindow(main.handle()));

  ASSERT_TRUE(Bus().SetWindowTitle(main.handle(), "Renamed"));
  EXPECT_EQ(Bus().FindWindow("TavBusTest", std::string("Renamed")), main.handle());
  EXPECT_EQ(Bus().FindWindow("TavBusTest", std::string("Main")), 0u);
}

TEST_F(MessageBusTest, UnregisterRemovesWindow) {
  auto window = std::make_unique<TestWindow>("TavBusGone", "Title");
  WindowHandle handle = window->handle();
  ASSERT_NE(handle, 0u);
  ASSERT_EQ(Bus().FindWindow("TavBusGone", std::nullopt), handle);
  window.reset();
  EXPECT_EQ(Bus().FindWindow("TavBusGone", std::nullopt), 0u);
  EXPECT_FALSE(Bus().IsWindow(handle));
  EXPECT_FALSE(Bus().PostMessage(handle, kWmUser, 0, 0));
  EXPECT_FALSE(Bus().SetWindowTitle(handle, "x"));
}

TEST_F(MessageBusTest, HandlesArePositiveAndDistinct) {
  TestWindow first;
  TestWindow second;
  EXPECT_GT(static_cast<int32_t>(first.handle()), 0);
  EXPECT_GT(static_cast<int32_t>(second.handle()), 0);
  EXPECT_NE(first.handle(), second.handle());
}

TEST_F(MessageBusTest, PostsAreDispatchedInOrder) {
  TestWindow window;
  for (uint32_t i = 0; i < 5; ++i) {
    ASSERT_TRUE(Bus().PostMessage(window.handle(), kWmUser + i, 100 + i, -static_cast<int>(i)));
  }
  EXPECT_TRUE(window.received().empty());  // only the loop runs procedures
  Bus().DispatchPending();
  std::vector<BusMessage> received = window.received();
  ASSERT_EQ(received.size(), 5u);
  for (uint32_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(received[i].window, window.handle());
    EXPECT_EQ(received[i].message, kWmUser + i);
    EXPECT_EQ(received[i].wparam, 100 + i);
    EXPECT_EQ(received[i].lparam, -static_cast<int64_t>(i));
    EXPECT_EQ(received[i].sender_pid, getpid());
  }
}

TEST_F(MessageBusTest, MessageToUnregisteredWindowIsDropped) {
  int calls = 0;
  WindowHandle handle = Bus().RegisterWindow("TavBusTest", "Drop", [&](const BusMessage&) {
    ++calls;
    return int64_t{0};
  });
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(Bus().PostMessage(handle, kWmUser, 1, 2));
  Bus().UnregisterWindow(handle);
  Bus().DispatchPending();
  EXPECT_EQ(calls, 0);
}

TEST_F(MessageBusTest, SendMessageReturnsTheProcedureResult) {
  TestWindow window("TavBusTest", "Main", 1234);
  int64_t direct = 0;
  // The creating thread, with no loop running, calls the procedure at once.
  ASSERT_TRUE(Bus().SendMessage(window.handle(), kWmUser, 1, 2, 1000, &direct));
  EXPECT_EQ(direct, 1234);
  EXPECT_EQ(window.received().size(), 1u);

  bool sent = false;
  int64_t from_thread = 0;
  std::thread sender([&] {
    sent = Bus().SendMessage(window.handle(), kWmUser + 1, 3, 4, 5000, &from_thread);
    Bus().PostQuit(0);
  });
  EXPECT_EQ(Bus().Run(), 0);
  sender.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(from_thread, 1234);
  std::vector<BusMessage> received = window.received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[1].message, kWmUser + 1);
  EXPECT_EQ(received[1].wparam, 3u);
  EXPECT_EQ(received[1].lparam, 4);
}

TEST_F(MessageBusTest, PostQuitEndsRunWithItsCode) {
  for (int code : {0, 3, -7}) {
    SCOPED_TRACE(code);
    std::thread quitter([code] { Bus().PostQuit(code); });
    EXPECT_EQ(Bus().Run(), code);
    quitter.join();
  }
}

TEST_F(MessageBusTest, ReceivesPostFromAnotherProcess) {
  TestWindow window;
  pid_t child = StartTavPost({std::to_string(window.handle()), "0x046F", "42"});
  ASSERT_GT(child, 0);
  EXPECT_EQ(WaitExit(child), 0);
  ASSERT_TRUE(PumpUntil([&] { return !window.received().empty(); }));
  BusMessage m = window.received()[0];
  EXPECT_EQ(m.message, 0x046Fu);
  EXPECT_EQ(m.wparam, 42u);
  EXPECT_FALSE(m.has_text);
  EXPECT_EQ(m.sender_pid, child);
}

TEST_F(MessageBusTest, ReceivesCopyDataFromAnotherProcess) {
  TestWindow window("TavBusTest", "Main", 1);
  const std::string text = "/S /D=\"C:\\Program Files\\T\xc3\xa4v\"\nline two";
  pid_t child = StartTavPost({std::to_string(window.handle()), "0x4A", "0", text});
  ASSERT_GT(child, 0);
  // tav-post waits for the answer, which only the loop gives.
  ASSERT_TRUE(PumpUntil([&] { return !window.received().empty(); }));
  EXPECT_EQ(WaitExit(child), 0);
  BusMessage m = window.received()[0];
  EXPECT_EQ(m.message, kWmCopyData);
  EXPECT_TRUE(m.has_text);
  EXPECT_EQ(m.text, text);
}

TEST_F(MessageBusTest, TavPostRejectsBadRequests) {
  TestWindow window;
  const std::string h = std::to_string(window.handle());
  const std::string missing = std::to_string(window.handle() + 1000);
  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"too few arguments", {h, "0x046F"}},
      {"handle not decimal", {"0x10", "0x046F", "1"}},
      {"handle zero", {"0", "0x046F", "1"}},
      {"message not a number", {h, "x46F", "1"}},
      {"text with another message", {h, "0x046F", "1", "text"}},
      {"no such window", {missing, "0x046F", "1"}},
      {"no such window for a text", {missing, "0x4A", "0", "text"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WaitExit(StartTavPost(c.args)), 1);
  }
  Bus().DispatchPending();
  EXPECT_TRUE(window.received().empty());
}

TEST_F(MessageBusTest, KilledProcessRegistrationIsNotFound) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipe_fds[0]);
    WindowHandle handle =
        Bus().RegisterWindow("TavBusChild", "Child", [](const BusMessage&) { return int64_t{0}; });
    if (write(pipe_fds[1], &handle, sizeof(handle)) != sizeof(handle))
      _exit(2);
    pause();
    _exit(0);
  }
  close(pipe_fds[1]);
  WindowHandle handle = 0;
  ssize_t n = read(pipe_fds[0], &handle, sizeof(handle));
  close(pipe_fds[0]);
  bool found_alive =
      n == sizeof(handle) && handle != 0 && Bus().FindWindow("TavBusChild", std::nullopt) == handle;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(found_alive);
  EXPECT_EQ(Bus().FindWindow("TavBusChild", std::nullopt), 0u);
  EXPECT_FALSE(Bus().IsWindow(handle));
  EXPECT_FALSE(Bus().PostMessage(handle, kWmUser, 0, 0));
}

TEST_F(MessageBusTest, MalformedDatagramsAreIgnored) {
  TestWindow window;
  socklen_t length = 0;
  sockaddr_un addr = WindowSocketAddress(window.handle(), &length);
  // A well-formed post header ("TAVB", version 1, kind post, window, message
  // 0x046F, then zeros) to break in different ways.
  std::string header(48, '\0');
  memcpy(header.data(), "TAVB", 4);
  uint16_t version = 1, kind = 1;
  uint32_t handle = window.handle(), message = 0x046F;
  memcpy(header.data() + 4, &version, 2);
  memcpy(header.data() + 6, &kind, 2);
  memcpy(header.data() + 8, &handle, 4);
  memcpy(header.data() + 12, &message, 4);
  auto with = [&](size_t offset, uint32_t value) {
    std::string d = header;
    memcpy(d.data() + offset, &value, 4);
    return d;
  };
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", std::string()},
      {"junk", std::string("hello, window")},
      {"short header", header.substr(0, 47)},
      {"unknown version", with(4, 0x00010002)},
      {"unknown kind", with(4, 0x00090001)},
      {"text longer than sent", with(44, 10) + "abc"},
      {"text without its flag", with(44, 3) + "abc"},
      {"oversized text length", with(44, 0xFFFFFFFF)},
      {"trailing bytes", header + "x"},
      {"another window", with(8, window.handle() + 1)},
  };
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  for (const auto& [name, datagram] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&addr), length),
        static_cast<ssize_t>(datagram.size()));
  }
  close(fd);
  // A good post after the bad ones still arrives, and it is the only one.
  pid_t child = StartTavPost({std::to_string(window.handle()), "1025", "7"});
  ASSERT_EQ(WaitExit(child), 0);
  ASSERT_TRUE(PumpUntil([&] { return !window.received().empty(); }));
  std::vector<BusMessage> received = window.received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].message, 1025u);
  EXPECT_EQ(received[0].wparam, 7u);
}

TEST_F(MessageBusTest, ActivateWindowPostsBringToFront) {
  TestWindow window("TavBusTest", "Main");
  EXPECT_FALSE(ActivateWindow("TavBusTest", "Other"));
  ASSERT_TRUE(ActivateWindow("TavBusTest", "Main"));
  Bus().DispatchPending();
  std::vector<BusMessage> received = window.received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].message, kMsgBringToFront);
}

}  // namespace
}  // namespace platform
