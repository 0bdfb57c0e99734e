#include "platform/crash_handler.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/sandbox.h"

extern char** environ;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Runs the crash child with `mode`; returns its wait status (-1 when it did
// not start).
int RunChild(const std::string& mode, const std::string& record_path) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TAV_CRASH_RECORD=", 17) != 0)
      env_text.push_back(*e);
  }
  env_text.push_back("TAV_CRASH_RECORD=" + record_path);
  std::vector<char*> envp;
  for (auto& e : env_text)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = TAV_CRASH_CHILD;
  std::vector<char*> argv = {program.data(), const_cast<char*>(mode.c_str()), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return -1;
  }
  return status;
}

std::map<std::string, std::string> ParseRecord(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos)
      fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

// Size of the .text section of the ELF file at `path` (0 when not found).
uint64_t TextSectionSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Elf64_Ehdr header;
  if (!in.read(reinterpret_cast<char*>(&header), sizeof(header)))
    return 0;
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  for (size_t i = 0; i < sections.size(); ++i) {
    in.seekg(static_cast<std::streamoff>(header.e_shoff + i * header.e_shentsize));
    if (!in.read(reinterpret_cast<char*>(&sections[i]), sizeof(Elf64_Shdr)))
      return 0;
  }
  if (header.e_shstrndx >= sections.size())
    return 0;
  const Elf64_Shdr& names = sections[header.e_shstrndx];
  for (const Elf64_Shdr& section : sections) {
    char name[16] = {};
    in.seekg(static_cast<std::streamoff>(names.sh_offset + section.sh_name));
    in.read(name, sizeof(name) - 1);
    if (std::strcmp(name, ".text") == 0)
      return section.sh_size;
  }
  return 0;
}

struct CrashCase {
  const char* mode;
  int signal;
  uint32_t code;
  bool in_program;  // the faulting instruction lies in the child's own code
};

TEST(CrashHandlerTest, RecordIsEmptyBeforeACrash) {
  const platform::CrashRecord& record = platform::GetCrashRecord();
  EXPECT_EQ(record.crashed, 0);
  EXPECT_EQ(record.code, 0u);
  EXPECT_STREQ(record.module_path, "");
}

// One test for all modes: every run replaces the same dump file beside the
// child, so the runs must not overlap.
TEST(CrashHandlerTest, ChildDiesOfItsSignalAndLeavesRecordAndDump) {
  const CrashCase cases[] = {
    {"segv", SIGSEGV, platform::kExceptionAccessViolation, true},
    {"fpe", SIGFPE, platform::kExceptionIntDivideByZero, true},
#if defined(__x86_64__) || defined(__i386__)
    {"ill", SIGILL, platform::kExceptionIllegalInstruction, true},
#endif
    {"abort", SIGABRT, platform::kExceptionFatalAppExit, false},
    {"overflow", SIGSEGV, platform::kExceptionAccessViolation, true},
  };
  tavtest::Sandbox sandbox;
  const std::string child = std::filesystem::canonical(TAV_CRASH_CHILD).string();
  const std::string dump_path = std::string(TAV_CRASH_CHILD) + ".dmp";
  const uint64_t text_size = TextSectionSize(child);
  ASSERT_GT(text_size, 0u);

  for (const CrashCase& c : cases) {
    SCOPED_TRACE(c.mode);
    const std::string record_path = sandbox.Path(std::string(c.mode) + ".record");
    ASSERT_TRUE(tavtest::WriteFile(dump_path, "stale dump from an earlier run\n"));

    const int status = RunChild(c.mode, record_path);
    ASSERT_NE(status, -1);
    const auto record = ParseRecord(tavtest::ReadFile(record_path));
    if (kSanitized && record.empty()) {
      GTEST_SKIP() << "the sanitizer handled the fault before the crash handler";
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), c.signal);

    ASSERT_FALSE(record.empty());
    EXPECT_EQ(record.at("crashed"), "1");
    EXPECT_EQ(record.at("signal"), std::to_string(c.signal));
    EXPECT_EQ(std::stoul(record.at("code"), nullptr, 16), c.code);
    EXPECT_NE(std::stoull(record.at("address"), nullptr, 16), 0u);
    EXPECT_FALSE(record.at("module").empty());
    if (c.in_program) {
      EXPECT_EQ(record.at("module"), child);
      EXPECT_EQ(record.at("section"), ".text");
      const uint64_t offset = std::stoull(record.at("offset"), nullptr, 16);
      EXPECT_LT(offset, text_size);
      // The store comes after the load of the pointer, so it cannot be the
      // first byte of the section (a trap in a cold block may be).
      if (c.signal == SIGSEGV) {
        EXPECT_GT(offset, 0u);
      }
    }

    const std::string dump = tavtest::ReadFile(dump_path);
    EXPECT_EQ(dump.find("stale dump"), std::string::npos);
    const std::string signal_line = "signal: " + std::to_string(c.signal) + " " +
                                    (c.signal == SIGSEGV  ? "SIGSEGV"
                                     : c.signal == SIGFPE ? "SIGFPE"
                                     : c.signal == SIGILL ? "SIGILL"
                                                          : "SIGABRT");
    EXPECT_NE(dump.find(signal_line), std::string::npos) << dump.substr(0, 400);
    char code_line[32];
    std::snprintf(code_line, sizeof(code_line), "code: 0x%08X\n", c.code);
    EXPECT_NE(dump.find(code_line), std::string::npos);
    EXPECT_NE(dump.find("module: " + record.at("module") + "\n"), std::string::npos);
    EXPECT_NE(dump.find("registers:"), std::string::npos);
    EXPECT_NE(dump.find("backtrace:"), std::string::npos);
    // The memory map lists the program itself.
    EXPECT_NE(dump.find("maps:\n"), std::string::npos);
    EXPECT_NE(dump.find(child, dump.find("maps:\n")), std::string::npos);
  }
  std::filesystem::remove(dump_path);
}

}  // namespace
