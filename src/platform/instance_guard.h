// Single-instance guard by name: the stand-in for a named semaphore.
//
// An exclusive flock on a lock file named after the guard in the runtime
// folder. The kernel releases it when the process dies, so a crash never
// blocks the next start. Owned by the caller; not thread-safe per object.
#pragma once

#include <string>

namespace platform {

class InstanceGuard {
 public:
  enum class Result { kAcquired, kAlreadyExists, kError };

  InstanceGuard() = default;
  ~InstanceGuard();
  InstanceGuard(const InstanceGuard&) = delete;
  InstanceGuard& operator=(const InstanceGuard&) = delete;

  // Takes the guard `name` (any text; characters unsafe in a file name are
  // escaped). kAlreadyExists when another holder has it.
  Result Acquire(const std::string& name);

  // Gives the guard up; also done by the destructor.
  void Release();

  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace platform
