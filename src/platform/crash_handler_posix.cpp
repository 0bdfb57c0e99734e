#include "platform/crash_handler.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

// Everything below the handler entry runs inside a signal handler: only
// async-signal-safe calls, no allocation, fixed buffers. What cannot be done
// there (resolving paths, loading the unwinder) is done at install time.

namespace platform {
namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAV_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TAV_SANITIZED_BUILD 1
#endif
#endif

#ifdef TAV_SANITIZED_BUILD
constexpr size_t kAltStackSize = 256 * 1024;  // instrumented code needs more room
#else
constexpr size_t kAltStackSize = 64 * 1024;
#endif

CrashRecord g_record;
CrashCallback g_callback = nullptr;
char g_exe_path[4096] = {};
char g_dump_path[4096 + 8] = {};
const void* g_main_base = nullptr;
uintptr_t g_page_size = 4096;
std::atomic<int> g_handling{0};

// ---- Async-signal-safe output -------------------------------------------

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// Buffered text output to a descriptor, with the few number formats the dump
// needs (snprintf is not async-signal-safe).
class Writer {
 public:
  explicit Writer(int fd) : fd_(fd) {}
  ~Writer() { Flush(); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  Writer& Text(const char* text) {
    while (*text != '\0')
      Char(*text++);
    return *this;
  }
  Writer& Char(char c) {
    if (used_ == sizeof(buffer_))
      Flush();
    buffer_[used_++] = c;
    return *this;
  }
  Writer& Dec(uint64_t value) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (n > 0)
      Char(digits[--n]);
    return *this;
  }
  // "0x" and at least `min_digits` upper-case hex digits.
  Writer& Hex(uint64_t value, int min_digits) {
    char digits[16];
    int n = 0;
    do {
      digits[n++] = "0123456789ABCDEF"[value & 0xF];
      value >>= 4;
    } while (value != 0);
    Text("0x");
    for (int pad = n; pad < min_digits; ++pad)
      Char('0');
    while (n > 0)
      Char(digits[--n]);
    return *this;
  }
  void Flush() {
    WriteAll(fd_, buffer_, used_);
    used_ = 0;
  }

 private:
  int fd_;
  char buffer_[512];
  size_t used_ = 0;
};

void CopyText(char* out, size_t capacity, const char* text) {
  size_t n = 0;
  while (text[n] != '\0' && n + 1 < capacity) {
    out[n] = text[n];
    ++n;
  }
  out[n] = '\0';
}

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGFPE:
      return "SIGFPE";
    case SIGILL:
      return "SIGILL";
    case SIGABRT:
      return "SIGABRT";
  }
  return "?";
}

uint32_t CodeOfSignal(int sig) {
  switch (sig) {
    case SIGILL:
      return kExceptionIllegalInstruction;
    case SIGFPE:
      return kExceptionIntDivideByZero;
    case SIGABRT:
      return kExceptionFatalAppExit;
  }
  return kExceptionAccessViolation;
}

uint64_t InstructionPointer(const siginfo_t* info, const void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  if (uc != nullptr)
    return static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  if (uc != nullptr)
    return uc->uc_mcontext.pc;
#else
  (void)uc;
#endif
  return reinterpret_cast<uintptr_t>(info->si_addr);
}

// ---- Section lookup in the module file ----------------------------------

bool ReadAt(int fd, void* out, size_t size, uint64_t offset) {
  auto* p = static_cast<char*>(out);
  while (size > 0) {
    ssize_t n = pread(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool ReadHeader(int fd, ElfW(Ehdr) * header) {
  if (!ReadAt(fd, header, sizeof(*header), 0))
    return false;
  if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0)
    return false;
#if __WORDSIZE == 64
  if (header->e_ident[EI_CLASS] != ELFCLASS64)
    return false;
#else
  if (header->e_ident[EI_CLASS] != ELFCLASS32)
    return false;
#endif
  return header->e_phentsize >= sizeof(ElfW(Phdr)) && header->e_shentsize >= sizeof(ElfW(Shdr));
}

// The link-time address the loader mapped at the module's base: the lowest
// PT_LOAD address rounded down to a page, as the loader places it.
bool LinkBase(int fd, const ElfW(Ehdr) & header, uint64_t* link_base) {
  bool found = false;
  uint64_t lowest = 0;
  const unsigned count = std::min<unsigned>(header.e_phnum, 1024);
  for (unsigned i = 0; i < count; ++i) {
    ElfW(Phdr) ph;
    if (!ReadAt(fd, &ph, sizeof(ph), header.e_phoff + uint64_t{i} * header.e_phentsize)) {
      return false;
    }
    if (ph.p_type != PT_LOAD)
      continue;
    if (!found || ph.p_vaddr < lowest)
      lowest = ph.p_vaddr;
    found = true;
  }
  *link_base = lowest & ~(uint64_t{g_page_size} - 1);
  return found;
}

bool ReadSection(int fd, const ElfW(Ehdr) & header, uint64_t index, ElfW(Shdr) * section) {
  return ReadAt(fd, section, sizeof(*section), header.e_shoff + index * header.e_shentsize);
}

// Section count and name-table index, following the extended numbering that
// large files keep in section 0.
bool SectionCounts(int fd, const ElfW(Ehdr) & header, uint64_t* count, uint64_t* names) {
  if (header.e_shoff == 0)
    return false;
  *count = header.e_shnum;
  *names = header.e_shstrndx;
  if (*count != 0 && *names != SHN_XINDEX)
    return true;
  ElfW(Shdr) first;
  if (!ReadSection(fd, header, 0, &first))
    return false;
  if (*count == 0)
    *count = first.sh_size;
  if (*names == SHN_XINDEX)
    *names = first.sh_link;
  return *count != 0;
}

// Finds the allocated section that holds `vaddr`; fills its name and the
// offset of `vaddr` in it.
bool FindSection(int fd, const ElfW(Ehdr) & header, uint64_t vaddr, CrashRecord* record) {
  uint64_t count = 0;
  uint64_t names_index = 0;
  if (!SectionCounts(fd, header, &count, &names_index))
    return false;
  count = std::min<uint64_t>(count, 65536);
  ElfW(Shdr) names;
  if (names_index >= count || !ReadSection(fd, header, names_index, &names))
    return false;
  for (uint64_t i = 1; i < count; ++i) {
    ElfW(Shdr) section;
    if (!ReadSection(fd, header, i, &section))
      return false;
    if ((section.sh_flags & SHF_ALLOC) == 0)
      continue;
    // .tbss occupies no address range of its own.
    if ((section.sh_flags & SHF_TLS) != 0 && section.sh_type == SHT_NOBITS)
      continue;
    if (vaddr < section.sh_addr || vaddr > section.sh_addr + section.sh_size)
      continue;
    char name[9] = {};
    if (section.sh_name < names.sh_size) {
      const uint64_t room = std::min<uint64_t>(8, names.sh_size - section.sh_name);
      if (!ReadAt(fd, name, room, names.sh_offset + section.sh_name))
        return false;
    }
    CopyText(record->section_name, sizeof(record->section_name), name);
    record->section_offset = static_cast<uint32_t>(vaddr - section.sh_addr);
    return true;
  }
  return false;
}

void LocateInFile(const char* path, uint64_t address, uint64_t base, CrashRecord* record) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return;
  ElfW(Ehdr) header;
  uint64_t link_base = 0;
  if (ReadHeader(fd, &header) && LinkBase(fd, header, &link_base) && address >= base) {
    FindSection(fd, header, address - base + link_base, record);
  }
  close(fd);
}

// Module, section and offset of `address`; left empty when unknown.
void Locate(uint64_t address, CrashRecord* record) {
  Dl_info info;
  std::memset(&info, 0, sizeof(info));
  if (dladdr(reinterpret_cast<void*>(address), &info) == 0 || info.dli_fbase == nullptr)
    return;
  // For the main program the loader reports argv[0] (or nothing), not a path.
  const bool main_program =
      info.dli_fbase == g_main_base || info.dli_fname == nullptr || info.dli_fname[0] == '\0';
  const char* path = main_program ? g_exe_path : info.dli_fname;
  if (path[0] == '\0')
    return;
  CopyText(record->module_path, sizeof(record->module_path), path);
  LocateInFile(path, address, reinterpret_cast<uintptr_t>(info.dli_fbase), record);
}

// ---- The dump file ----------------------------------------------------------

void WriteRegisters(Writer& out, const void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
  if (uc == nullptr)
    return;
  out.Text("registers:\n");
#if defined(__x86_64__)
  static const char* const kNames[] = {"r8",     "r9",  "r10",    "r11",     "r12", "r13",
                                       "r14",    "r15", "rdi",    "rsi",     "rbp", "rbx",
                                       "rdx",    "rax", "rcx",    "rsp",     "rip", "eflags",
                                       "csgsfs", "err", "trapno", "oldmask", "cr2"};
  for (int i = 0; i < NGREG && i < static_cast<int>(sizeof(kNames) / sizeof(kNames[0])); ++i) {
    out.Text("  ").Text(kNames[i]).Text(" ");
    out.Hex(static_cast<uint64_t>(uc->uc_mcontext.gregs[i]), 16).Char('\n');
  }
#elif defined(__aarch64__)
  for (int i = 0; i < 31; ++i) {
    out.Text("  x").Dec(static_cast<uint64_t>(i)).Text(" ");
    out.Hex(uc->uc_mcontext.regs[i], 16).Char('\n');
  }
  out.Text("  sp ").Hex(uc->uc_mcontext.sp, 16).Char('\n');
  out.Text("  pc ").Hex(uc->uc_mcontext.pc, 16).Char('\n');
  out.Text("  pstate ").Hex(uc->uc_mcontext.pstate, 16).Char('\n');
#endif
}

void WriteBacktrace(Writer& out, int fd) {
  void* frames[64];
  int count = backtrace(frames, 64);
  out.Text("backtrace:\n");
  out.Flush();
  if (count > 0)
    backtrace_symbols_fd(frames, count, fd);
}

void CopyMaps(Writer& out, int fd) {
  out.Text("maps:\n");
  out.Flush();
  int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps < 0)
    return;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(maps, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    WriteAll(fd, buffer, static_cast<size_t>(n));
  }
  close(maps);
}

void WriteDump(const CrashRecord& record, const siginfo_t* info, const void* context) {
  if (g_dump_path[0] == '\0')
    return;
  int fd = open(g_dump_path, O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0)
    return;
  {
    Writer out(fd);
    out.Text("crash dump of ").Text(g_exe_path).Char('\n');
    out.Text("pid: ").Dec(static_cast<uint64_t>(getpid())).Char('\n');
    out.Text("thread: ").Dec(static_cast<uint64_t>(syscall(SYS_gettid))).Char('\n');
    out.Text("signal: ").Dec(static_cast<uint64_t>(record.signal)).Char(' ');
    out.Text(SignalName(record.signal)).Char('\n');
    out.Text("signal code: ").Dec(static_cast<uint64_t>(static_cast<uint32_t>(info->si_code)));
    out.Char('\n');
    out.Text("code: ").Hex(record.code, 8).Char('\n');
    out.Text("address: ").Hex(record.address, 16).Char('\n');
    out.Text("fault address: ").Hex(reinterpret_cast<uintptr_t>(info->si_addr), 16).Char('\n');
    out.Text("module: ").Text(record.module_path).Char('\n');
    out.Text("section: ").Text(record.section_name).Char('\n');
    out.Text("offset: ").Hex(record.section_offset, 8).Char('\n');
    WriteRegisters(out, context);
    WriteBacktrace(out, fd);
    CopyMaps(out, fd);
  }
  close(fd);
}

void DieOf(int sig) {
  // SA_RESETHAND already restored the default; make sure of it, then let the
  // pending signal end the process as soon as the handler returns (for a
  // fault, before the instruction runs again).
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof(dfl));
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  raise(sig);
}

void HandleCrash(int sig, siginfo_t* info, void* context) {
  if (g_handling.exchange(1) != 0) {
    // Another thread is already reporting; it ends the process.
    for (;;)
      pause();
  }
  const int saved_errno = errno;
  CrashRecord& record = g_record;
  record.signal = sig;
  record.code = CodeOfSignal(sig);
  record.address = InstructionPointer(info, context);
  Locate(record.address, &record);
  record.crashed = 1;
  if (g_callback != nullptr)
    g_callback(record);
  WriteDump(record, info, context);
  errno = saved_errno;
  DieOf(sig);
}

// ---- Alternate stacks ---------------------------------------------------------

// One alternate stack per thread, with a guard page below it so a handler
// that overruns it faults instead of writing over other memory.
struct AltStack {
  char* mapping = nullptr;
  size_t mapping_size = 0;
  char* stack_base = nullptr;

  bool Install() {
    if (mapping != nullptr)
      return true;
    const long page_size = sysconf(_SC_PAGESIZE);
    const size_t page = page_size > 0 ? static_cast<size_t>(page_size) : 4096;
    const size_t size = std::max<size_t>(kAltStackSize, static_cast<size_t>(SIGSTKSZ));
    const size_t total = page + (size + page - 1) / page * page;
    void* memory = mmap(nullptr, total, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED)
      return false;
    mprotect(memory, page, PROT_NONE);
    stack_t stack;
    std::memset(&stack, 0, sizeof(stack));
    stack.ss_sp = static_cast<char*>(memory) + page;
    stack.ss_size = total - page;
    if (sigaltstack(&stack, nullptr) != 0) {
      munmap(memory, total);
      return false;
    }
    mapping = static_cast<char*>(memory);
    mapping_size = total;
    stack_base = static_cast<char*>(stack.ss_sp);
    return true;
  }

  ~AltStack() {
    if (mapping == nullptr)
      return;
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == stack_base) {
      stack_t off;
      std::memset(&off, 0, sizeof(off));
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
    }
    munmap(mapping, mapping_size);
  }
};

thread_local AltStack t_alt_stack;

// Resolves what the handler needs and runs its non-trivial calls once, so
// lazy binding and the unwinder's loading do not happen inside the handler.
void PrepareHandlerState() {
  long page = sysconf(_SC_PAGESIZE);
  if (page > 0)
    g_page_size = static_cast<uintptr_t>(page);

  ssize_t n = readlink("/proc/self/exe", g_exe_path, sizeof(g_exe_path) - 1);
  g_exe_path[n > 0 ? n : 0] = '\0';
  g_dump_path[0] = '\0';
  if (n > 0) {
    std::memcpy(g_dump_path, g_exe_path, static_cast<size_t>(n));
    std::memcpy(g_dump_path + n, ".dmp", 5);
  }

  Dl_info info;
  std::memset(&info, 0, sizeof(info));
  const void* phdr = reinterpret_cast<const void*>(getauxval(AT_PHDR));
  if (phdr != nullptr && dladdr(phdr, &info) != 0)
    g_main_base = info.dli_fbase;

  CrashRecord scratch;
  Locate(reinterpret_cast<uintptr_t>(&HandleCrash), &scratch);

  void* frames[4];
  int count = backtrace(frames, 4);
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    if (count > 0)
      backtrace_symbols_fd(frames, count, null_fd);
    WriteAll(null_fd, "\n", 1);
    close(null_fd);
  }
}

}  // namespace

bool InstallCrashHandler(CrashCallback callback) {
  PrepareHandlerState();
  g_callback = callback;
  PrepareThreadForCrashHandling();

  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_sigaction = &HandleCrash;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int sig : kCrashSignals)
    sigaddset(&action.sa_mask, sig);
  bool ok = true;
  for (int sig : kCrashSignals) {
    if (sigaction(sig, &action, nullptr) != 0)
      ok = false;
  }
  return ok;
}

void PrepareThreadForCrashHandling() {
  t_alt_stack.Install();
}

const CrashRecord& GetCrashRecord() {
  return g_record;
}

}  // namespace platform
