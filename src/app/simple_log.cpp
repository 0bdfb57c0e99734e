#include "app/simple_log.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <map>
#include <vector>

#include "platform/paths.h"

namespace {

// Serialises every line and the nightly rename. Constructed before main and
// never destroyed, so lines written while statics are torn down still work.
std::mutex& LogLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::atomic<simpleLog*> g_log{nullptr};

constexpr int64_t kBackupPauseMs = 7'200'000;  // after a night's rotation
constexpr int64_t kBackupPollMs = 300'000;
constexpr int kBackupHour = 23;
constexpr std::size_t kKeptFiles = 5;

class SystemLogClock : public LogClock {
 public:
  std::time_t Now() override { return std::time(nullptr); }
  bool Sleep(int64_t ms) override {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return interrupted_; });
  }
  void Interrupt() override {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
    wake_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool interrupted_ = false;
};

std::tm LocalTime(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

// "Exists" as the rotation means it: the file can be opened for reading.
bool FileExists(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr)
    return false;
  std::fclose(f);
  return true;
}

bool FileHasContent(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr)
    return false;
  const bool has = std::fgetc(f) != EOF;
  std::fclose(f);
  return has;
}

std::string BaseNameOf(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  std::string::size_type dot = name.find_last_of('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string ExtensionOf(const std::string& path) {
  std::string::size_type dot = path.find_last_of('.');
  return dot == std::string::npos ? std::string() : path.substr(dot);
}

std::string FolderOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

simpleLog::simpleLog(std::string configured_name, std::unique_ptr<LogClock> clock)
    : configured_file_name_(std::move(configured_name)),
      clock_(clock ? std::move(clock) : std::make_unique<SystemLogClock>()) {}

simpleLog::~simpleLog() {
  // Lines from later static destructors are skipped rather than written
  // through a dead logger.
  simpleLog* self = this;
  g_log.compare_exchange_strong(self, nullptr);
  // The thread is stopped rather than abandoned, so it never touches the
  // file while it is pruned and renamed below.
  clock_->Interrupt();
  {
    std::lock_guard<std::mutex> lock(thread_lock_);
    if (backup_thread_.joinable())
      backup_thread_.join();
  }
  if (backup_ == 0)
    return;
  PruneBackups();
  std::rename(current_file_name_.c_str(), BackupFileName(current_file_name_).c_str());
}

void simpleLog::Log(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(level, format, args);
  va_end(args);
}

void simpleLog::LogV(int /*level*/, const char* format, va_list args) {
  std::tm now = LocalTime(clock_->Now());
  char stamp[64];
  std::snprintf(stamp, sizeof(stamp), "[%4d-%02d-%02d %d:%02d:%02d]", now.tm_year + 1900,
                now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
  std::lock_guard<std::mutex> lock(LogLock());
  std::FILE* f = std::fopen(current_file_name_.c_str(), "a");
  if (f == nullptr)
    return;
  if (std::fprintf(f, "%s ", stamp) >= 0 && std::vfprintf(f, format, args) >= 0) {
    std::fputs("\n", f);
  }
  std::fclose(f);
}

void simpleLog::StartBackupThread() {
  if (configured_file_name_.empty())
    std::fputs("[simpleLog::Log] log filename is empty\n", stdout);
  if (name_set_ == 0)
    current_file_name_ = configured_file_name_;
  std::lock_guard<std::mutex> lock(thread_lock_);
  if (backup_thread_.joinable())
    return;
  backup_thread_ = std::thread(&simpleLog::BackupThreadMain, this, current_file_name_);
}

void simpleLog::BackupThreadMain(const std::string& file_name) {
  const int backup = backup_;
  while (true) {
    if (backup != 0 && LocalTime(clock_->Now()).tm_hour == kBackupHour) {
      try {
        if (FileHasContent(file_name))
          dobackup();
      } catch (const std::exception& e) {
        std::printf("[simpleLog::Log] [dobackup] %s\n", e.what());
      }
      if (!clock_->Sleep(kBackupPauseMs))
        return;
    }
    if (!clock_->Sleep(kBackupPollMs))
      return;
  }
}

void simpleLog::dobackup() {
  std::lock_guard<std::mutex> lock(LogLock());
  std::rename(current_file_name_.c_str(), BackupFileName(current_file_name_).c_str());
  std::FILE* f = std::fopen(current_file_name_.c_str(), "w");
  if (f == nullptr) {
    std::printf("[simpleLog::Log] Cannot open the output file: %s", current_file_name_.c_str());
    return;
  }
  std::fclose(f);
}

std::string simpleLog::BackupFileName(const std::string& file_name) {
  std::tm now = LocalTime(clock_->Now());
  char date[32];
  std::snprintf(date, sizeof(date), "%4d-%02d-%02d", now.tm_year + 1900, now.tm_mon + 1,
                now.tm_mday);
  std::string dated = file_name + "." + date;
  if (!FileExists(dated))
    return dated;
  for (int counter = 1; counter < INT_MAX; ++counter) {
    std::string numbered = dated + "." + std::to_string(counter);
    if (!FileExists(numbered))
      return numbered;
  }
  return dated + "." + std::to_string(INT_MAX);
}

void simpleLog::PruneBackups() {
  const std::string base = BaseNameOf(current_file_name_);
  const std::string extension = ExtensionOf(current_file_name_);
  const std::string folder = FolderOf(current_file_name_);
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr)
    return;
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(dir))
    names.emplace_back(entry->d_name);
  closedir(dir);
  // A stable listing order, so which of two files of the same time is kept
  // does not depend on the file system.
  std::sort(names.begin(), names.end());

  std::map<int64_t, std::string> by_time;
  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      continue;
    if (path.find(base) == std::string::npos || path.find(extension) == std::string::npos) {
      continue;
    }
    const int64_t time = lstat(path.c_str(), &st) == 0
                             ? int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec
                             : 0;
    by_time[time] = path;
  }
  while (by_time.size() > kKeptFiles) {
    std::remove(by_time.begin()->second.c_str());
    by_time.erase(by_time.begin());
  }
}

std::string LogFolder() {
  std::string temp = platform::GetSpecialFolder(platform::SpecialFolder::kTemp);
  if (temp.empty() || temp.back() != '/')
    temp += "/";
  const std::string folder = temp + "Veltrana/TAV/";
  return platform::CreateDirectories(folder.substr(0, folder.size() - 1)) ? folder : temp;
}

int InitLog(const std::string& file_name) {
  // Destroyed at process exit, which prunes and renames the file.
  static simpleLog logger(LogFolder() + file_name);
  g_log.store(&logger);
  logger.StartBackupThread();
  return 0;
}

simpleLog* GetLog() {
  return g_log.load();
}

void Log(simpleLog* log, int level, const char* format, ...) {
  if (log == nullptr)
    return;
  va_list args;
  va_start(args, format);
  log->LogV(level, format, args);
  va_end(args);
}
