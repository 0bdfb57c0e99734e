#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tavtest {

Sandbox::Sandbox() {
  const char* old = std::getenv("TAV_ROOT");
  had_root_ = old != nullptr;
  if (had_root_)
    saved_root_ = old;
  std::string pattern = std::filesystem::temp_directory_path().string() + "/tav-test-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr)
    root_ = pattern;
  setenv("TAV_ROOT", root_.c_str(), 1);
}

Sandbox::~Sandbox() {
  if (had_root_) {
    setenv("TAV_ROOT", saved_root_.c_str(), 1);
  } else {
    unsetenv("TAV_ROOT");
  }
  std::error_code ec;
  if (!root_.empty())
    std::filesystem::remove_all(root_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
  if (const char* old = std::getenv(name))
    saved_ = old;
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (saved_) {
    setenv(name_, saved_->c_str(), 1);
  } else {
    unsetenv(name_);
  }
}

void ExpectInOrder(const std::string& text, const std::vector<std::string>& pieces) {
  std::size_t from = 0;
  for (const std::string& piece : pieces) {
    SCOPED_TRACE(piece);
    const std::size_t at = text.find(piece, from);
    ASSERT_NE(at, std::string::npos) << text;
    from = at + piece.size();
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

}  // namespace tavtest
