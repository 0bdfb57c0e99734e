// The crash handler: the stand-in for the unhandled-exception filter and the
// minidump.
//
// Install once from the main thread. SIGSEGV, SIGBUS, SIGFPE, SIGILL and
// SIGABRT then run the handler on an alternate signal stack of the faulting
// thread: it fills the crash record (module and ELF section of the faulting
// address), calls the program's callback, writes the dump file
// "<program>.dmp" beside the program (replaced each time) and lets the
// process die of the signal.
#pragma once

#include <cstdint>

namespace platform {

// Exception codes as Windows reports them, so what the program reports does
// not depend on the platform.
inline constexpr uint32_t kExceptionAccessViolation = 0xC0000005u;     // SIGSEGV, SIGBUS
inline constexpr uint32_t kExceptionIllegalInstruction = 0xC000001Du;  // SIGILL
inline constexpr uint32_t kExceptionIntDivideByZero = 0xC0000094u;     // SIGFPE
inline constexpr uint32_t kExceptionFatalAppExit = 0x40000015u;        // SIGABRT

struct CrashRecord {
  int crashed = 0;
  uint32_t code = 0;
  uint64_t address = 0;         // faulting address (instruction pointer)
  uint32_t section_offset = 0;  // offset of the address within its section
  char module_path[4096] = {};  // module that holds the address, "" when unknown
  char section_name[9] = {};    // section name, at most 8 bytes as stored, NUL-terminated
  int signal = 0;
};

// Called on the faulting thread after the record is filled, before the dump
// is written. It must not rely on locks another thread may hold.
using CrashCallback = void (*)(const CrashRecord& record);

// Installs the handler (and an alternate stack for the calling thread).
bool InstallCrashHandler(CrashCallback callback);

// Gives the calling thread an alternate signal stack, so a stack overflow on
// it still reaches the handler. Threads the program starts call it first.
void PrepareThreadForCrashHandling();

// The process-wide crash record (all zero until a crash).
const CrashRecord& GetCrashRecord();

}  // namespace platform
