// Runs the real tav-devserver for a test: writes its configuration into the
// test's sandbox, starts it, waits for its ready file and stops it with
// SIGTERM when the object goes away.
#pragma once

#include <map>
#include <string>

#include "platform/process.h"

namespace tavtest {

class DevServerRun {
 public:
  DevServerRun() = default;
  ~DevServerRun();
  DevServerRun(const DevServerRun&) = delete;
  DevServerRun& operator=(const DevServerRun&) = delete;

  // Starts `program` with `config_json` written to `folder`/devserver.json;
  // true once every host listens (within ten seconds).
  bool Start(const std::string& program, const std::string& folder, const std::string& config_json);
  // Sends SIGTERM and waits for the end; true when it exited with 0.
  bool Stop();

  // "http://127.0.0.2:34567" of the host called `name` ("" when unknown).
  std::string Url(const std::string& name) const;
  // Every line of the request log (the configuration's "log" key).
  std::string RequestLog(const std::string& log_path) const;

 private:
  platform::Process process_;
  bool running_ = false;
  std::map<std::string, std::string> urls_;
};

}  // namespace tavtest
