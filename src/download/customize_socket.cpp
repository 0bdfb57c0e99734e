#include "download/customize_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "app/simple_log.h"
#include "platform/resolver.h"

namespace {

std::string DottedText(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr addr{};
  addr.s_addr = address;
  inet_ntop(AF_INET, &addr, text, sizeof(text));
  return text;
}

bool SetNonBlocking(int fd, bool on) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0)
    return false;
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, wanted) == 0;
}

bool WouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

CCustomizeSocket::CCustomizeSocket() {
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0)
    wake_error_ = errno;
  // Callers further up draw from rand() (address choice among a host's list).
  std::srand(static_cast<unsigned>(std::time(nullptr)));
}

CCustomizeSocket::~CCustomizeSocket() {
  Close();
  if (wake_fd_ >= 0)
    ::close(wake_fd_);
}

std::vector<uint32_t> CCustomizeSocket::ResolveAll(const std::string& host) {
  return platform::ResolveHostIpv4(host);
}

uint32_t CCustomizeSocket::Resolve(const std::string& host) {
  const std::vector<uint32_t> addresses = ResolveAll(host);
  return addresses.empty() ? 0 : addresses.front();
}

bool CCustomizeSocket::ConnectHost(const std::string& host, uint16_t port) {
  // A failed attempt must not leave an earlier connection looking current.
  Close();
  if (host.empty()) {
    LOG_WARN("[WARN] %d - socket, host is empty.");
    return false;
  }
  const uint32_t address = Resolve(host);
  if (address == 0) {
    LOG_ERROR("[ERROR] %d - socket, no find host.");
    return false;
  }
  return Connect(address, port);
}

CCustomizeSocket::WaitResult CCustomizeSocket::Wait(int fd, short events, int timeout_ms,
                                                    int* error) {
  using Clock = std::chrono::steady_clock;
  if (IsShutdown())
    return WaitResult::kStopped;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  pollfd fds[2] = {{fd, events, 0}, {wake_fd_, POLLIN, 0}};
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const int wait_ms = static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
    const int ready = poll(fds, 2, wait_ms);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready < 0) {
      *error = errno;
      return WaitResult::kError;
    }
    if (fds[1].revents != 0 || IsShutdown())
      return WaitResult::kStopped;
    if (ready == 0)
      return WaitResult::kTimeout;
    if ((fds[0].revents & POLLNVAL) != 0) {
      *error = EBADF;
      return WaitResult::kError;
    }
    return WaitResult::kReady;
  }
}

bool CCustomizeSocket::WaitConnected(int fd, const std::string& ip) {
  for (int round = 0; round < kConnectWaitRounds; ++round) {
    int error = 0;
    const WaitResult result = Wait(fd, POLLOUT, connect_wait_ms_, &error);
    if (result == WaitResult::kTimeout)
      continue;
    if (result == WaitResult::kStopped) {
      LOG_WARN("[WARN] %d - socket, connect stopped, ip=[%s].", ip.c_str());
      return false;
    }
    if (result == WaitResult::kError) {
      LOG_ERROR("[ERROR] %d - socket, ip=[%s], select failed, err=[%d]", ip.c_str(), error);
      return false;
    }
    // Writable also means failed (refused, unreachable): the socket's own
    // error tells which.
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
      error = errno;
    if (error == 0)
      return true;
    LOG_ERROR("[ERROR] %d - socket, ip=[%s], fd count 0, err=[%d]", ip.c_str(), error);
    return false;
  }
  LOG_ERROR("[ERROR] %d - socket, ip=[%s], fd count 0, err=[%d]", ip.c_str(), ETIMEDOUT);
  return false;
}

bool CCustomizeSocket::Connect(uint32_t address, uint16_t port) {
  Close();
  const std::string ip = DottedText(address);
  if (IsShutdown()) {
    LOG_WARN("[WARN] %d - socket, connect stopped, ip=[%s].", ip.c_str());
    return false;
  }
  if (wake_fd_ < 0) {
    LOG_ERROR("[ERROR] %d - socket, create failed!, err=[%d]", wake_error_);
    return false;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    LOG_ERROR("[ERROR] %d - socket, create failed!, err=[%d]", errno);
    return false;
  }
  if (!SetNonBlocking(fd, true)) {
    LOG_ERROR("[ERROR] %d - socket, ioctl failed, ret=[%d], err=[%d]", -1, errno);
    ::close(fd);
    return false;
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = address;
  const int ret = ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer));
  if (ret < 0 && errno != EINPROGRESS && errno != EINTR) {
    LOG_WARN("[WARN] %d - socket, connect failed! ip=[%s], ret=[%d], err=[%d]", ip.c_str(), ret,
             errno);
    ::close(fd);
    return false;
  }
  if (ret != 0 && !WaitConnected(fd, ip)) {
    ::close(fd);
    return false;
  }
  if (!SetNonBlocking(fd, false)) {
    LOG_ERROR("[ERROR] %d - socket, ioctl failed, ip=[%s], ret=[%d], err=[%d]", ip.c_str(), -1,
              errno);
    ::close(fd);
    return false;
  }
  fd_ = fd;
  peer_address_ = address;
  peer_text_ = ip;
  port_ = port;
  connected_ = true;
  LOG_INFO("[INFO] %d - socket, connect ok, ip=[%s]", ip.c_str());
  return true;
}

int CCustomizeSocket::Close() {
  connected_ = false;
  int result = 0;
  if (fd_ >= 0)
    result = ::close(fd_);
  fd_ = -1;
  peer_address_ = 0;
  return result;
}

int CCustomizeSocket::Receive(void* buffer, int size) {
  // A read of nothing could not tell a closed peer from an empty one.
  if (buffer == nullptr || size < 1)
    return -1;
  if (!connected_) {
    LOG_ERROR("[ERROR] %d - socket, receive failed! no connected.");
    return -1;
  }
  for (;;) {
    int error = 0;
    switch (Wait(fd_, POLLIN, io_wait_ms_, &error)) {
      case WaitResult::kError:
        LOG_ERROR("[ERROR] %d - socket, receive failed! select err=[%d].", error);
        return -1;
      case WaitResult::kStopped:
        // As if the socket had been closed under the wait.
        LOG_ERROR("[ERROR] %d - socket, receive failed! select err=[%d].", ECANCELED);
        Close();
        return -1;
      case WaitResult::kTimeout:
        LOG_WARN("[WARN] %d - socket, receive failed! select ret=[0], err=[%d].", ETIMEDOUT);
        return -1;
      case WaitResult::kReady:
        break;
    }
    const ssize_t received = recv(fd_, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
    if (received > 0)
      return static_cast<int>(received);
    if (received == 0) {
      LOG_WARN("[WARN] %d - socket, receive failed! size=[0].");
      Close();
      return 0;
    }
    if (WouldBlock(errno))
      continue;
    LOG_ERROR("[ERROR] %d - socket, receive failed! err=[%d]", errno);
    return -1;
  }
}

bool CCustomizeSocket::Send(const void* data, int64_t length) {
  if (data == nullptr || length < 1 || !connected_)
    return false;
  const char* next = static_cast<const char*>(data);
  int64_t left = length;
  while (left > 0) {
    int error = 0;
    const WaitResult ready = Wait(fd_, POLLOUT, io_wait_ms_, &error);
    if (ready == WaitResult::kStopped) {
      Close();
      return false;
    }
    if (ready != WaitResult::kReady)
      return false;
    const size_t part = static_cast<size_t>(std::min<int64_t>(left, SSIZE_MAX));
    // No SIGPIPE: a peer that went away is a failed send, not a dead process.
    const ssize_t sent = send(fd_, next, part, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0 && WouldBlock(errno))
      continue;
    if (sent < 0)
      return false;
    next += sent;
    left -= sent;
  }
  return true;
}

bool CCustomizeSocket::SendText(const std::string& text) {
  return Send(text.data(), static_cast<int64_t>(text.size()));
}

void CCustomizeSocket::Shutdown() {
  stopped_.store(true, std::memory_order_release);
  if (wake_fd_ < 0)
    return;
  const uint64_t one = 1;
  // The counter only grows, so the descriptor stays readable until cleared.
  [[maybe_unused]] const ssize_t written = write(wake_fd_, &one, sizeof(one));
}

void CCustomizeSocket::ClearShutdown() {
  if (wake_fd_ >= 0) {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t drained = read(wake_fd_, &count, sizeof(count));
  }
  stopped_.store(false, std::memory_order_release);
}

void CCustomizeSocket::SetWaitTimes(int connect_wait_ms, int io_wait_ms) {
  connect_wait_ms_ = std::max(0, connect_wait_ms);
  io_wait_ms_ = std::max(0, io_wait_ms);
}
