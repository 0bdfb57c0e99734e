// Test sandboxes: a fresh machine root per test, selected through TAV_ROOT.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavtest {

// Creates a new empty folder under the system temp folder and points TAV_ROOT
// at it; the destructor restores TAV_ROOT and removes the folder.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& root() const { return root_; }
  // `relative` under the root (no leading "/").
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

 private:
  std::string root_;
  std::string saved_root_;
  bool had_root_ = false;
};

// Sets (or, with nullopt, removes) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

// Expects every piece of `pieces` in `text`, each after the one before.
void ExpectInOrder(const std::string& text, const std::vector<std::string>& pieces);

// Whole content of a file ("" when missing).
std::string ReadFile(const std::string& path);
// Writes a file, creating its parent folders.
bool WriteFile(const std::string& path, const std::string& content);

}  // namespace tavtest
