#include "platform/instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/paths.h"

namespace platform {
namespace {

// Guard names are free text ("Nodorra (Italiano)_tav"); keep them readable in
// the lock file's name but escape what a file name cannot hold.
std::string LockFileName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (c == '/' || c == '%' || c < 0x20 || c == 0x7F) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (out.empty() || out == "." || out == "..")
    out = "%" + out;
  return out + ".lock";
}

}  // namespace

InstanceGuard::~InstanceGuard() {
  Release();
}

InstanceGuard::Result InstanceGuard::Acquire(const std::string& name) {
  if (held())
    return Result::kAcquired;
  const std::string folder = RuntimeFolder();
  if (folder.empty() || !CreateDirectories(folder + "/guards"))
    return Result::kError;
  const std::string path = folder + "/guards/" + LockFileName(name);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return Result::kError;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? Result::kAlreadyExists : Result::kError;
  }
  fd_ = fd;
  return Result::kAcquired;
}

void InstanceGuard::Release() {
  if (fd_ < 0)
    return;
  // The lock file stays: deleting it would race with a starter that has
  // opened it but not locked it yet.
  close(fd_);
  fd_ = -1;
}

}  // namespace platform
