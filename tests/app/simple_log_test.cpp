#include "app/simple_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <sstream>
#include <vector>

#include "support/sandbox.h"

namespace {

namespace fs = std::filesystem;

// Runs the backup thread through fake time: every sleep advances the clock
// at once, and the thread ends when a sleep would reach `end`.
class FakeClock : public LogClock {
 public:
  FakeClock(std::time_t start, std::time_t end, std::function<void()> on_wake = {})
      : now_(start), end_(end), on_wake_(std::move(on_wake)) {}

  std::time_t Now() override { return now_.load(); }
  bool Sleep(int64_t ms) override {
    if (interrupted_)
      return false;
    // The clock stands still at the end, so a test reads a fixed time.
    const std::time_t next = now_ + static_cast<std::time_t>(ms / 1000);
    if (next >= end_) {
      done_.set_value();
      return false;
    }
    now_ = next;
    if (on_wake_)
      on_wake_();
    return true;
  }
  void Interrupt() override { interrupted_ = true; }

  std::future<void> Done() { return done_.get_future(); }

 private:
  std::atomic<std::time_t> now_;
  std::time_t end_;
  std::function<void()> on_wake_;
  std::atomic<bool> interrupted_{false};
  std::promise<void> done_;
};

// Every test reads local time as UTC, so dates and hours are exact.
class SimpleLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
    folder_ = sandbox_.Path("my.logs");
    fs::create_directories(folder_);
    path_ = folder_ + "/vtTAV.log";
  }

  static std::time_t At(int year, int month, int day, int hour, int minute, int second = 0) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
  }

  std::set<std::string> FilesInFolder() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  tavtest::Sandbox sandbox_;
  std::string folder_;
  std::string path_;
};

TEST_F(SimpleLogTest, LineLayout) {
  const std::time_t t = At(2024, 3, 7, 9, 5, 31);
  {
    simpleLog log(path_, std::make_unique<FakeClock>(t, t));
    log.StartBackupThread();
    log.Log(kLogInfo, "[INFO] %d - start, fork=[%d].", 4412, 0);
    const std::string long_text(100000, 'x');
    log.Log(kLogError, "[ERROR] %d - %s", 7, long_text.c_str());
    EXPECT_EQ(tavtest::ReadFile(path_),
              "[2024-03-07 9:05:31] [INFO] 4412 - start, fork=[0].\n"
              "[2024-03-07 9:05:31] [ERROR] 7 - " +
                  long_text + "\n");
  }
  // Logging without a logger writes nothing and fails nothing.
  Log(nullptr, kLogInfo, "[INFO] %d - nowhere", 1);
}

TEST_F(SimpleLogTest, BackupNamesCountUpOnTheSameDate) {
  const std::time_t t = At(2024, 3, 7, 12, 0);
  simpleLog log(path_, std::make_unique<FakeClock>(t, t));
  log.StartBackupThread();
  for (int i = 0; i < 3; ++i) {
    log.Log(kLogInfo, "[INFO] %d - line", i);
    log.dobackup();
  }
  EXPECT_EQ(tavtest::ReadFile(path_), "");
  EXPECT_EQ(tavtest::ReadFile(path_ + ".2024-03-07"), "[2024-03-07 12:00:00] [INFO] 0 - line\n");
  EXPECT_EQ(tavtest::ReadFile(path_ + ".2024-03-07.1"), "[2024-03-07 12:00:00] [INFO] 1 - line\n");
  EXPECT_EQ(tavtest::ReadFile(path_ + ".2024-03-07.2"), "[2024-03-07 12:00:00] [INFO] 2 - line\n");
  EXPECT_EQ(log.BackupFileName(path_), path_ + ".2024-03-07.3");
}

TEST_F(SimpleLogTest, RotatesOnceEachNightAcrossMidnight) {
  simpleLog* target = nullptr;
  auto clock = std::make_unique<FakeClock>(At(2024, 3, 7, 22, 50), At(2024, 3, 9, 0, 30),
                                           [&] { target->Log(kLogInfo, "[INFO] %d - tick", 1); });
  std::future<void> done = clock->Done();
  simpleLog log(path_, std::move(clock));
  target = &log;
  log.StartBackupThread();
  done.wait();
  EXPECT_EQ(FilesInFolder(),
            (std::set<std::string>{"vtTAV.log", "vtTAV.log.2024-03-07", "vtTAV.log.2024-03-08"}));
  // The first backup holds the two lines of 22:55 and 23:00 only.
  EXPECT_EQ(tavtest::ReadFile(path_ + ".2024-03-07"),
            "[2024-03-07 22:55:00] [INFO] 1 - tick\n[2024-03-07 23:00:00] [INFO] 1 - tick\n");
}

TEST_F(SimpleLogTest, EmptyLogStaysInPlaceAtNight) {
  ASSERT_TRUE(tavtest::WriteFile(path_, ""));
  auto clock = std::make_unique<FakeClock>(At(2024, 3, 7, 22, 50), At(2024, 3, 7, 23, 59));
  std::future<void> done = clock->Done();
  simpleLog log(path_, std::move(clock));
  log.StartBackupThread();
  done.wait();
  EXPECT_EQ(FilesInFolder(), std::set<std::string>{"vtTAV.log"});
}

TEST_F(SimpleLogTest, ShutdownKeepsFiveFilesOfTheFamily) {
  const std::vector<std::string> family = {"vtTAV.log.2024-03-01",
                                           "vtTAV.log.2024-03-02",
                                           "vtTAV.log.2024-03-03",
                                           "vtTAV.log.2024-03-04",
                                           "vtTAV.log.2024-03-05",
                                           "vtTAV.log.2024-03-06",
                                           "vtTAV.log"};
  for (std::size_t i = 0; i < family.size(); ++i) {
    const std::string path = folder_ + "/" + family[i];
    ASSERT_TRUE(tavtest::WriteFile(path, "x\n"));
    const struct timespec times[2] = {{At(2024, 3, 1 + static_cast<int>(i), 12, 0), 0},
                                      {At(2024, 3, 1 + static_cast<int>(i), 12, 0), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  ASSERT_TRUE(tavtest::WriteFile(folder_ + "/other.txt", "keep"));
  fs::create_directories(folder_ + "/vtTAV.log.dir");
  {
    const std::time_t t = At(2024, 3, 10, 8, 0);
    simpleLog log(path_, std::make_unique<FakeClock>(t, t));
    log.StartBackupThread();
  }
  EXPECT_EQ(FilesInFolder(),
            (std::set<std::string>{"vtTAV.log.2024-03-03", "vtTAV.log.2024-03-04",
                                   "vtTAV.log.2024-03-05", "vtTAV.log.2024-03-06",
                                   "vtTAV.log.2024-03-10", "other.txt", "vtTAV.log.dir"}));
}

TEST_F(SimpleLogTest, LinesFromManyThreadsStayWholeAcrossRotations) {
  constexpr int kThreads = 4;
  constexpr int kLines = 500;
  {
    simpleLog log(path_);
    log.StartBackupThread();
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&log, t] {
        for (int i = 0; i < kLines; ++i) {
          log.Log(kLogInfo, "[INFO] %d - line %d %s", t, i, std::string(200, 'a' + t).c_str());
        }
      });
    }
    // Three rotations leave four files, which shutdown keeps whole.
    for (int r = 0; r < 3; ++r)
      log.dobackup();
    for (std::thread& w : writers)
      w.join();
  }
  std::set<std::pair<int, int>> seen;
  for (const std::string& name : FilesInFolder()) {
    std::istringstream in(tavtest::ReadFile(folder_ + "/" + name));
    std::string line;
    while (std::getline(in, line)) {
      // "[YYYY-MM-DD H:MM:SS] [INFO] <t> - line <i> <200 letters>"
      int year, month, day, hour, minute, second, t, i, consumed = 0;
      ASSERT_EQ(std::sscanf(line.c_str(), "[%4d-%2d-%2d %d:%2d:%2d] [INFO] %d - line %d %n", &year,
                            &month, &day, &hour, &minute, &second, &t, &i, &consumed),
                8)
          << line.substr(0, 80);
      ASSERT_TRUE(t >= 0 && t < kThreads);
      EXPECT_EQ(line.substr(static_cast<std::size_t>(consumed)), std::string(200, 'a' + t));
      EXPECT_TRUE(seen.emplace(t, i).second);
    }
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

}  // namespace
