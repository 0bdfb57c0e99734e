// The TCP client socket of the installer: one IPv4 connection with a bounded
// connect, and sends and receives that each wait a bounded time for the
// socket to become ready. Knows nothing of HTTP; failures go to the log.
//
// Threads: an object is used by one thread at a time (its owner). Shutdown()
// alone may be called from any other thread, at any time while the object
// lives: it ends a pending wait of the owner promptly. The owner joins such
// threads before destroying the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class CCustomizeSocket {
 public:
  static constexpr int kConnectWaitMs = 5'000;  // one round of the connect wait
  static constexpr int kConnectWaitRounds = 5;
  static constexpr int kIoWaitMs = 30'000;  // readiness wait of every send and receive

  CCustomizeSocket();
  virtual ~CCustomizeSocket();
  CCustomizeSocket(const CCustomizeSocket&) = delete;
  CCustomizeSocket& operator=(const CCustomizeSocket&) = delete;

  // IPv4 addresses of `host` (name or dotted text), in network byte order
  // and answer order, without repeats. The hosts override file named by
  // TAV_HOSTS (lines of a name and its dotted addresses; "#" starts a
  // comment) is asked first, then the system resolver. Names under
  // ".invalid" never resolve and are not sent to the resolver.
  static std::vector<uint32_t> ResolveAll(const std::string& host);
  // The first of ResolveAll, or 0 when there is none.
  static uint32_t Resolve(const std::string& host);

  // Closes any earlier connection, resolves `host` and connects to it; an
  // empty host or a name without an address fails (and is logged).
  bool ConnectHost(const std::string& host, uint16_t port);

  // Connects to `address` (network byte order), closing any earlier
  // connection first. Waits up to kConnectWaitRounds rounds of the connect
  // wait; a refused or failed connection fails as soon as it is known.
  bool Connect(uint32_t address, uint16_t port);

  // Closes the connection; the close result, or 0 when none was open. The
  // peer's address text and port keep their last values.
  int Close();

  // Waits for data, then one receive of at most `size` bytes: the byte count,
  // 0 when the peer closed (the object is closed then), -1 on failure or
  // timeout (the connection stays open) or after Shutdown (it is closed).
  int Receive(void* buffer, int size);

  // Sends all `length` bytes, waiting for readiness before each part. False
  // for no data, a closed socket, a timeout, an error or after Shutdown.
  bool Send(const void* data, int64_t length);
  bool SendText(const std::string& text);

  // Any thread. Ends a pending connect, send or receive wait at once and
  // makes every later one fail (a pending connection is closed by its owner
  // when its wait ends) until ClearShutdown.
  void Shutdown();
  // Owner only, when no Shutdown can still arrive: makes the object usable
  // again.
  void ClearShutdown();
  bool IsShutdown() const { return stopped_.load(std::memory_order_acquire); }

  // Test seams: shorter waits than the production ones.
  void SetWaitTimes(int connect_wait_ms, int io_wait_ms);

  bool connected() const { return connected_; }
  uint16_t port() const { return port_; }
  // Dotted text of the last successful connection's address.
  const std::string& peer_text() const { return peer_text_; }
  // Address of the open connection (network byte order), 0 when closed.
  uint32_t peer_address() const { return peer_address_; }

 private:
  enum class WaitResult { kReady, kTimeout, kError, kStopped };
  // `error` receives errno when the wait itself fails.
  WaitResult Wait(int fd, short events, int timeout_ms, int* error);
  bool WaitConnected(int fd, const std::string& ip);

  int fd_ = -1;
  bool connected_ = false;
  uint16_t port_ = 0;
  std::string peer_text_;
  uint32_t peer_address_ = 0;
  int connect_wait_ms_ = kConnectWaitMs;
  int io_wait_ms_ = kIoWaitMs;
  // Readable while shut down: every wait polls it beside the socket.
  int wake_fd_ = -1;
  int wake_error_ = 0;  // why wake_fd_ could not be made
  std::atomic<bool> stopped_{false};
};
