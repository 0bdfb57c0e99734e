#include "support/devserver_run.h"

#include <cjson/cJSON.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "support/sandbox.h"

namespace tavtest {

DevServerRun::~DevServerRun() {
  Stop();
}

bool DevServerRun::Start(const std::string& program, const std::string& folder,
                         const std::string& config_json) {
  const std::string config = folder + "/devserver.json";
  const std::string ready = folder + "/devserver.ready.json";
  if (!WriteFile(config, config_json))
    return false;
  platform::StartOptions options;
  options.hidden = true;
  if (!process_.Start({program, "--config", config, "--ready-file", ready}, options))
    return false;
  running_ = true;
  for (int i = 0; i < 1000; ++i) {
    const std::string text = ReadFile(ready);
    if (!text.empty()) {
      cJSON* root = cJSON_Parse(text.c_str());
      const cJSON* host = nullptr;
      cJSON_ArrayForEach(host, cJSON_GetObjectItemCaseSensitive(root, "hosts")) {
        const cJSON* name = cJSON_GetObjectItemCaseSensitive(host, "name");
        const cJSON* url = cJSON_GetObjectItemCaseSensitive(host, "url");
        if (cJSON_IsString(name) && cJSON_IsString(url))
          urls_[name->valuestring] = url->valuestring;
      }
      cJSON_Delete(root);
      return !urls_.empty();
    }
    uint32_t code = 0;
    if (process_.Wait(10, &code)) {  // it gave up: bad configuration
      running_ = false;
      return false;
    }
  }
  return false;
}

bool DevServerRun::Stop() {
  if (!running_)
    return true;
  running_ = false;
  kill(process_.pid(), SIGTERM);
  uint32_t code = 0;
  if (!process_.Wait(10000, &code)) {
    process_.Terminate(1);
    process_.Wait(platform::Process::kWaitForever, &code);
  }
  return code == 0;
}

std::string DevServerRun::Url(const std::string& name) const {
  auto it = urls_.find(name);
  return it == urls_.end() ? std::string() : it->second;
}

std::string DevServerRun::RequestLog(const std::string& log_path) const {
  return ReadFile(log_path);
}

}  // namespace tavtest
