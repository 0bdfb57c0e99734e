#include "download/customize_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/simple_log.h"
#include "platform/process.h"
#include "support/sandbox.h"

namespace {

uint32_t Loopback() {
  return htonl(INADDR_LOOPBACK);
}

// A listening socket on 127.0.0.1 (or another loopback address) with a port of the system's choice.
class Listener {
 public:
  explicit Listener(int backlog = 8, uint32_t address = Loopback()) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = address;
    socklen_t length = sizeof(addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd_, backlog) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
      ADD_FAILURE() << "listener: errno " << errno;
      return;
    }
    port_ = ntohs(addr.sin_port);
  }
  ~Listener() { Stop(); }
  void Stop() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }
  uint16_t port() const { return port_; }

  // Waits up to five seconds for a connection; -1 when none came.
  int Accept() {
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, 5000) != 1)
      return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// The accepted end of a connection.
class Peer {
 public:
  explicit Peer(int fd) : fd_(fd) {}
  Peer(const Peer&) = delete;
  Peer& operator=(Peer&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Peer() { Close(); }
  void Close() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }
  bool valid() const { return fd_ >= 0; }
  bool Write(const std::string& text) {
    return send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  // Reads until `count` bytes came or the connection ended.
  std::string Read(std::size_t count) {
    std::string data;
    char buffer[65536];
    while (data.size() < count) {
      const ssize_t n = recv(fd_, buffer, std::min(sizeof(buffer), count - data.size()), 0);
      if (n <= 0)
        break;
      data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
  }
  // True when bytes are waiting to be read.
  bool HasData() {
    char byte;
    return recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 1;
  }

 private:
  int fd_;
};

// A port on 127.0.0.1 that nobody listens on.
uint16_t RefusedPort() {
  Listener listener;
  return listener.port();
}

TEST(CustomizeSocketTest, ResolvesNamesAndDottedText) {
  struct Case {
    std::string host;
    uint32_t expected;
  };
  const Case cases[] = {
      {"127.0.0.1", htonl(0x7f000001)}, {"127.0.0.9", htonl(0x7f000009)},
      {"localhost", htonl(0x7f000001)}, {"", 0},
      {"nonexistent.invalid", 0},       {"NonExistent.Invalid.", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(CCustomizeSocket::Resolve(c.host), c.expected);
  }
}

// Points TAV_HOSTS at a file of the sandbox for one scope.
class HostsFile {
 public:
  HostsFile(const tavtest::Sandbox& sandbox, const std::string& content) {
    const std::string path = sandbox.Path("etc/tav_hosts");
    EXPECT_TRUE(tavtest::WriteFile(path, content));
    setenv("TAV_HOSTS", path.c_str(), 1);
  }
  ~HostsFile() { unsetenv("TAV_HOSTS"); }
};

TEST(CustomizeSocketTest, HostsFileComesBeforeTheResolver) {
  struct Case {
    std::string file;
    std::string host;
    std::vector<uint32_t> expected;
  };
  const std::string file =
      "# loopback names for the test\n"
      "multi.test 127.0.0.2 127.0.0.3 127.0.0.2  # the repeat is dropped\n"
      "  Upper.Test\t127.0.0.4\n"
      "localhost 127.0.0.7\n";
  const Case cases[] = {
      {file, "multi.test", {htonl(0x7f000002), htonl(0x7f000003)}},
      {file, "MULTI.test.", {htonl(0x7f000002), htonl(0x7f000003)}},
      {file, "upper.test", {htonl(0x7f000004)}},
      {file, "localhost", {htonl(0x7f000007)}},
      {file, "127.0.0.9", {htonl(0x7f000009)}},
      {file, "comment.invalid", {}},
      {"localhost not-an-address\n", "localhost", {htonl(0x7f000001)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    tavtest::Sandbox sandbox;
    HostsFile hosts(sandbox, c.file);
    EXPECT_EQ(CCustomizeSocket::ResolveAll(c.host), c.expected);
    EXPECT_EQ(CCustomizeSocket::Resolve(c.host), c.expected.empty() ? 0 : c.expected.front());
  }
}

TEST(CustomizeSocketTest, ConnectsByANameOfTheHostsFile) {
  tavtest::Sandbox sandbox;
  HostsFile hosts(sandbox, "multi.test 127.0.0.2 127.0.0.3\n");
  Listener listener(8, htonl(0x7f000002));
  CCustomizeSocket socket;
  ASSERT_TRUE(socket.ConnectHost("multi.test", listener.port()));
  Peer peer(listener.Accept());
  EXPECT_TRUE(peer.valid());
  EXPECT_EQ(socket.peer_text(), "127.0.0.2");
  EXPECT_EQ(socket.peer_address(), htonl(0x7f000002));
}

TEST(CustomizeSocketTest, FailedConnectLeavesTheObjectClosed) {
  Listener listener;
  struct Case {
    const char* name;
    std::function<bool(CCustomizeSocket&)> connect;
  };
  const Case cases[] = {
      {"refused port", [](CCustomizeSocket& s) { return s.Connect(Loopback(), RefusedPort()); }},
      {"refused port by name",
       [](CCustomizeSocket& s) { return s.ConnectHost("127.0.0.1", RefusedPort()); }},
      {"unresolvable name",
       [&](CCustomizeSocket& s) { return s.ConnectHost("nonexistent.invalid", listener.port()); }},
      {"empty host", [&](CCustomizeSocket& s) { return s.ConnectHost("", listener.port()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CCustomizeSocket socket;
    // A working connection first: the failed attempt must drop it too.
    ASSERT_TRUE(socket.Connect(Loopback(), listener.port()));
    Peer first(listener.Accept());
    EXPECT_FALSE(c.connect(socket));
    EXPECT_FALSE(socket.connected());
    EXPECT_EQ(socket.peer_address(), 0u);
    EXPECT_EQ(socket.Close(), 0);
    EXPECT_EQ(first.Read(1), "");  // the old connection was closed
  }
}

TEST(CustomizeSocketTest, ExchangesBytesWithThePeer) {
  Listener listener;
  CCustomizeSocket socket;
  ASSERT_TRUE(socket.ConnectHost("localhost", listener.port()));
  Peer peer(listener.Accept());
  ASSERT_TRUE(peer.valid());
  EXPECT_TRUE(socket.connected());
  EXPECT_EQ(socket.peer_text(), "127.0.0.1");
  EXPECT_EQ(socket.port(), listener.port());
  EXPECT_EQ(socket.peer_address(), Loopback());

  EXPECT_TRUE(socket.SendText("GET / HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(peer.Read(18), "GET / HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(peer.Write("answer"));
  char buffer[64];
  const int received = socket.Receive(buffer, sizeof(buffer));
  ASSERT_GT(received, 0);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(received)), "answer");
}

TEST(CustomizeSocketTest, PeerCloseEndsTheConnection) {
  Listener listener;
  CCustomizeSocket socket;
  ASSERT_TRUE(socket.Connect(Loopback(), listener.port()));
  Peer peer(listener.Accept());
  peer.Close();
  char buffer[16];
  EXPECT_EQ(socket.Receive(buffer, sizeof(buffer)), 0);
  EXPECT_FALSE(socket.connected());
  EXPECT_EQ(socket.peer_address(), 0u);
  // The last peer stays known for logs and events.
  EXPECT_EQ(socket.peer_text(), "127.0.0.1");
  EXPECT_EQ(socket.port(), listener.port());
  EXPECT_EQ(socket.Receive(buffer, sizeof(buffer)), -1);
  EXPECT_EQ(socket.Close(), 0);
}

TEST(CustomizeSocketTest, SilentPeerTimesOutAndTheConnectionStays) {
  Listener listener;
  CCustomizeSocket socket;
  socket.SetWaitTimes(CCustomizeSocket::kConnectWaitMs, 50);
  ASSERT_TRUE(socket.Connect(Loopback(), listener.port()));
  Peer peer(listener.Accept());
  char buffer[16];
  EXPECT_EQ(socket.Receive(buffer, sizeof(buffer)), -1);
  EXPECT_TRUE(socket.connected());
  ASSERT_TRUE(peer.Write("late"));
  EXPECT_EQ(socket.Receive(buffer, sizeof(buffer)), 4);
}

TEST(CustomizeSocketTest, RejectsBadArgumentsWithoutTouchingTheSocket) {
  Listener listener;
  CCustomizeSocket closed;
  CCustomizeSocket open;
  ASSERT_TRUE(open.Connect(Loopback(), listener.port()));
  Peer peer(listener.Accept());
  char buffer[16] = "x";
  struct Case {
    const char* name;
    std::function<bool()> call;
  };
  const Case cases[] = {
      {"send of 0 bytes", [&] { return open.Send(buffer, 0); }},
      {"send of a negative length", [&] { return open.Send(buffer, -5); }},
      {"send of no data", [&] { return open.Send(nullptr, 4); }},
      {"send of empty text", [&] { return open.SendText(""); }},
      {"send on a closed socket", [&] { return closed.Send(buffer, 1); }},
      {"receive into no buffer", [&] { return open.Receive(nullptr, 4) != -1; }},
      {"receive of a negative size", [&] { return open.Receive(buffer, -1) != -1; }},
      {"receive of 0 bytes", [&] { return open.Receive(buffer, 0) != -1; }},
      {"receive on a closed socket", [&] { return closed.Receive(buffer, 4) != -1; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.call());
    EXPECT_TRUE(open.connected());
  }
  EXPECT_FALSE(peer.HasData());
  EXPECT_EQ(closed.Close(), 0);
  EXPECT_EQ(closed.Close(), 0);
}

TEST(CustomizeSocketTest, LargeSendArrivesWhole) {
  Listener listener;
  CCustomizeSocket socket;
  ASSERT_TRUE(socket.Connect(Loopback(), listener.port()));
  Peer peer(listener.Accept());
  std::string data(8 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 131 % 251);
  std::string received;
  std::thread reader([&] { received = peer.Read(data.size()); });
  EXPECT_TRUE(socket.Send(data.data(), static_cast<int64_t>(data.size())));
  reader.join();
  EXPECT_TRUE(received == data);
}

TEST(CustomizeSocketTest, SendToAPeerThatNeverReadsTimesOut) {
  Listener listener;
  CCustomizeSocket socket;
  socket.SetWaitTimes(CCustomizeSocket::kConnectWaitMs, 50);
  ASSERT_TRUE(socket.Connect(Loopback(), listener.port()));
  Peer peer(listener.Accept());
  const std::string data(64 << 20, 'x');
  EXPECT_FALSE(socket.Send(data.data(), static_cast<int64_t>(data.size())));
  EXPECT_TRUE(socket.connected());
}

// A listener whose accept queue is full: further connections stay pending,
// because the system drops their SYNs.
class FullListener {
 public:
  FullListener() : listener_(0) { filled_ = filler_.Connect(Loopback(), listener_.port()); }
  bool ok() const { return filled_; }
  uint16_t port() const { return listener_.port(); }

 private:
  Listener listener_;
  CCustomizeSocket filler_;
  bool filled_ = false;
};

TEST(CustomizeSocketTest, ConnectWaitRunsOutAfterItsRounds) {
  FullListener full;
  ASSERT_TRUE(full.ok());
  CCustomizeSocket socket;
  socket.SetWaitTimes(10, CCustomizeSocket::kIoWaitMs);
  EXPECT_FALSE(socket.Connect(Loopback(), full.port()));
  EXPECT_FALSE(socket.connected());
  EXPECT_EQ(socket.Close(), 0);
}

TEST(CustomizeSocketTest, ShutdownFromAnotherThreadEndsEveryPendingWait) {
  Listener listener;
  FullListener full;
  ASSERT_TRUE(full.ok());
  const std::string big(64 << 20, 'x');
  char buffer[16];
  struct Case {
    const char* name;
    bool connect_first;
    std::function<bool(CCustomizeSocket&)> wait;
  };
  const Case cases[] = {
      {"receive from a silent peer", true,
       [&](CCustomizeSocket& s) { return s.Receive(buffer, sizeof(buffer)) != -1; }},
      {"send to a peer that never reads", true,
       [&](CCustomizeSocket& s) { return s.Send(big.data(), static_cast<int64_t>(big.size())); }},
      {"connect that gets no answer", false,
       [&](CCustomizeSocket& s) { return s.Connect(Loopback(), full.port()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CCustomizeSocket socket;  // production waits: only Shutdown ends them soon
    Peer peer(-1);
    if (c.connect_first) {
      ASSERT_TRUE(socket.Connect(Loopback(), listener.port()));
      peer = Peer(listener.Accept());
    }
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      socket.Shutdown();
    });
    EXPECT_FALSE(c.wait(socket));
    stopper.join();
    EXPECT_FALSE(socket.connected());
    EXPECT_TRUE(socket.IsShutdown());
  }
}

TEST(CustomizeSocketTest, StaysShutDownUntilCleared) {
  Listener listener;
  CCustomizeSocket socket;
  socket.Shutdown();
  EXPECT_FALSE(socket.Connect(Loopback(), listener.port()));
  EXPECT_FALSE(socket.ConnectHost("127.0.0.1", listener.port()));
  socket.ClearShutdown();
  EXPECT_FALSE(socket.IsShutdown());
  ASSERT_TRUE(socket.Connect(Loopback(), listener.port()));
  Peer peer(listener.Accept());
  EXPECT_TRUE(socket.SendText("again"));
  EXPECT_EQ(peer.Read(5), "again");
}

TEST(CustomizeSocketLog, WritesItsLines) {
  tavtest::Sandbox sandbox;
  InitLog("tav_download_tests.log");
  const std::string log_path = GetLog()->current_file_name();
  std::filesystem::create_directories(std::filesystem::path(log_path).parent_path());
  const std::size_t start = tavtest::ReadFile(log_path).size();

  Listener listener;
  CCustomizeSocket socket;
  const uint16_t refused = RefusedPort();
  EXPECT_FALSE(socket.ConnectHost("", refused));
  EXPECT_FALSE(socket.ConnectHost("nonexistent.invalid", refused));
  EXPECT_FALSE(socket.Connect(Loopback(), refused));
  FullListener full;
  ASSERT_TRUE(full.ok());
  socket.SetWaitTimes(5, 20);
  EXPECT_FALSE(socket.Connect(Loopback(), full.port()));
  ASSERT_TRUE(socket.Connect(Loopback(), listener.port()));
  Peer peer(listener.Accept());
  char buffer[8];
  EXPECT_EQ(socket.Receive(buffer, sizeof(buffer)), -1);
  peer.Close();
  EXPECT_EQ(socket.Receive(buffer, sizeof(buffer)), 0);
  EXPECT_EQ(socket.Receive(buffer, sizeof(buffer)), -1);

  const std::string log = tavtest::ReadFile(log_path).substr(start);
  const std::string tid = std::to_string(platform::CurrentThreadId());
  const std::vector<std::string> lines = {
      "[WARN] " + tid + " - socket, host is empty.\n",
      "[ERROR] " + tid + " - socket, no find host.\n",
      "[ERROR] " + tid + " - socket, ip=[127.0.0.1], fd count 0, err=[" +
          std::to_string(ECONNREFUSED) + "]\n",
      "[ERROR] " + tid + " - socket, ip=[127.0.0.1], fd count 0, err=[" +
          std::to_string(ETIMEDOUT) + "]\n",
      "[INFO] " + tid + " - socket, connect ok, ip=[127.0.0.1]\n",
      "[WARN] " + tid + " - socket, receive failed! select ret=[0], err=[" +
          std::to_string(ETIMEDOUT) + "].\n",
      "[WARN] " + tid + " - socket, receive failed! size=[0].\n",
      "[ERROR] " + tid + " - socket, receive failed! no connected.\n",
  };
  tavtest::ExpectInOrder(log, lines);
}

}  // namespace
