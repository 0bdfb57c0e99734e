// The program's log file.
//
// One simpleLog per process, made by InitLog and reached through the global
// log handle (GetLog). Log may be called from any thread: every line is
// opened, appended and closed under the process-wide log lock, so lines
// never interleave and every line survives a crash. A backup thread owned by
// the logger moves a non-empty log to a dated backup name once in the 23rd
// hour of each night; at destruction the logger prunes its family of files
// to five and moves the current log to its backup name.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/process.h"

// Time and sleeping as the backup thread sees them; tests replace it to run
// a night in milliseconds. Now may be called from any thread; Sleep only from
// the backup thread; Interrupt from any thread.
class LogClock {
 public:
  virtual ~LogClock() = default;
  virtual std::time_t Now() = 0;
  // Sleeps `ms` milliseconds; false when interrupted (the thread then ends).
  virtual bool Sleep(int64_t ms) = 0;
  virtual void Interrupt() = 0;
};

class simpleLog {
 public:
  // `configured_name` is the full path of the log file. `clock` defaults to
  // the system's clock.
  explicit simpleLog(std::string configured_name, std::unique_ptr<LogClock> clock = nullptr);
  virtual ~simpleLog();
  simpleLog(const simpleLog&) = delete;
  simpleLog& operator=(const simpleLog&) = delete;

  // Appends one line: time stamp, a blank, the expanded format, line end.
  void Log(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void LogV(int level, const char* format, va_list args) __attribute__((format(printf, 3, 0)));

  // Starts the backup thread (once; later calls only refresh the name).
  void StartBackupThread();

  // Moves the current file to its backup name and starts an empty one.
  void dobackup();
  // `file_name` + ".YYYY-MM-DD", with ".1", ".2", ... behind it while such a
  // file exists.
  std::string BackupFileName(const std::string& file_name);
  // Deletes the oldest files of the log's family until five remain.
  void PruneBackups();

  const std::string& current_file_name() const { return current_file_name_; }

 private:
  void BackupThreadMain(const std::string& file_name);

  std::string current_file_name_;
  std::string configured_file_name_;
  int name_set_ = 0;
  int backup_ = 1;
  std::unique_ptr<LogClock> clock_;
  std::mutex thread_lock_;  // guards backup_thread_ only
  std::thread backup_thread_;
};

inline constexpr int kLogError = 1;
inline constexpr int kLogWarn = 2;
inline constexpr int kLogInfo = 3;

// Opens the log `file_name` (a bare name such as "vtTAV.log") in
// <temp>/Veltrana/TAV/ and makes it the global log. Returns 0.
int InitLog(const std::string& file_name);

// The global log handle; null until InitLog.
simpleLog* GetLog();

// The folder InitLog puts the log in (created when missing; the temporary
// folder itself when it cannot be created), with a trailing "/".
std::string LogFolder();

// Writes through the global log, skipping the line while there is none.
void Log(simpleLog* log, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The calling thread's id goes first, as every line's format expects
// ("[INFO] %d - ...").
#define TAV_LOG(level, format, ...) \
  ::Log(::GetLog(), level, format, ::platform::CurrentThreadId() __VA_OPT__(, ) __VA_ARGS__)
#define LOG_ERROR(format, ...) TAV_LOG(kLogError, format __VA_OPT__(, ) __VA_ARGS__)
#define LOG_WARN(format, ...) TAV_LOG(kLogWarn, format __VA_OPT__(, ) __VA_ARGS__)
#define LOG_INFO(format, ...) TAV_LOG(kLogInfo, format __VA_OPT__(, ) __VA_ARGS__)
