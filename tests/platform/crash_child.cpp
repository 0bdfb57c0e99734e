// A child for the crash handler test: installs the handler, then crashes in
// the way its argument names. The callback writes the crash record as
// "key=value" lines to the file named by TAV_CRASH_RECORD.
//
//   tav_crash_child segv|fpe|ill|abort|overflow

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/crash_handler.h"

namespace {

// Only open/write: this runs inside the signal handler.
void Put(int fd, const char* text) {
  size_t size = std::strlen(text);
  while (size > 0) {
    ssize_t n = write(fd, text, size);
    if (n <= 0)
      return;
    text += n;
    size -= static_cast<size_t>(n);
  }
}

void PutNumber(int fd, const char* key, uint64_t value, bool hex) {
  char digits[24];
  int n = 0;
  const unsigned base = hex ? 16 : 10;
  do {
    digits[n++] = "0123456789abcdef"[value % base];
    value /= base;
  } while (value != 0);
  char line[64];
  size_t used = 0;
  for (const char* k = key; *k != '\0' && used < 20; ++k)
    line[used++] = *k;
  line[used++] = '=';
  if (hex) {
    line[used++] = '0';
    line[used++] = 'x';
  }
  while (n > 0)
    line[used++] = digits[--n];
  line[used++] = '\n';
  line[used] = '\0';
  Put(fd, line);
}

void WriteRecord(const platform::CrashRecord& record) {
  const char* path = std::getenv("TAV_CRASH_RECORD");
  if (path == nullptr)
    return;
  int fd = open(path, O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0)
    return;
  PutNumber(fd, "crashed", static_cast<uint64_t>(record.crashed), false);
  PutNumber(fd, "signal", static_cast<uint64_t>(record.signal), false);
  PutNumber(fd, "code", record.code, true);
  PutNumber(fd, "address", record.address, true);
  PutNumber(fd, "offset", record.section_offset, true);
  Put(fd, "module=");
  Put(fd, record.module_path);
  Put(fd, "\nsection=");
  Put(fd, record.section_name);
  Put(fd, "\n");
  close(fd);
}

// The faults below are what this program is for; keep the sanitizers from
// reporting them first.
#if defined(__clang__) || defined(__GNUC__)
#define TAV_NO_SANITIZE __attribute__((no_sanitize("undefined"), noinline))
#else
#define TAV_NO_SANITIZE
#endif

int* volatile g_null = nullptr;
volatile int g_zero = 0;
volatile bool g_keep_going = true;

TAV_NO_SANITIZE void WriteThroughNull() {
  *g_null = 42;
}

TAV_NO_SANITIZE int DivideByZero() {
  return 1000 / g_zero;
}

TAV_NO_SANITIZE int Recurse(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  if (!g_keep_going)
    return pad[0];
  return Recurse(depth + 1) + pad[0];
}

void OverflowOnThread() {
  std::thread thread([] {
    platform::PrepareThreadForCrashHandling();
    Recurse(0);
  });
  thread.join();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2)
    return 2;
  // A test run should not leave core files behind.
  struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  if (!platform::InstallCrashHandler(&WriteRecord))
    return 3;

  const char* mode = argv[1];
  if (std::strcmp(mode, "segv") == 0)
    WriteThroughNull();
  if (std::strcmp(mode, "fpe") == 0)
    return DivideByZero();
  if (std::strcmp(mode, "ill") == 0)
    __builtin_trap();
  if (std::strcmp(mode, "abort") == 0)
    std::abort();
  if (std::strcmp(mode, "overflow") == 0)
    OverflowOnThread();
  return 2;
}
