// tav-devserver --config FILE [--ready-file PATH]: runs the stand-in maker
// servers until SIGTERM or SIGINT.
//
// Once every host accepts connections it prints "ready NAME URL" a host on
// stdout and, when asked, writes the ready file. Exit codes: 0 after a signal,
// 1 when a server could not start or failed, 2 for a bad command line or
// configuration (including an address outside 127.0.0.0/8).
#include <cjson/cJSON.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "devserver/devserver.h"
#include "devserver/devserver_config.h"

namespace {

constexpr const char kUsage[] =
    "usage: tav-devserver --config FILE [--ready-file PATH]\n"
    "\n"
    "Runs the stand-in maker servers on loopback addresses until SIGTERM or SIGINT.\n"
    "  --config FILE      JSON configuration: hosts (127.0.0.0/8 only), what they serve\n"
    "  --ready-file PATH  once all hosts listen, write their URLs there (JSON)\n"
    "  --help             this text\n";

struct Options {
  std::string config;
  std::string ready_file;
  bool help = false;
};

bool TakeValue(int argc, char** argv, int* i, const std::string& name, std::string* out) {
  std::string arg = argv[*i];
  if (arg.rfind(name + "=", 0) == 0) {
    *out = arg.substr(name.size() + 1);
    return true;
  }
  if (arg != name || *i + 1 >= argc)
    return false;
  *out = argv[++*i];
  return true;
}

bool ParseArgs(int argc, char** argv, Options* out, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      out->help = true;
    } else if (arg.rfind("--config", 0) == 0) {
      if (!TakeValue(argc, argv, &i, "--config", &out->config)) {
        *error = "--config needs a file";
        return false;
      }
    } else if (arg.rfind("--ready-file", 0) == 0) {
      if (!TakeValue(argc, argv, &i, "--ready-file", &out->ready_file)) {
        *error = "--ready-file needs a path";
        return false;
      }
    } else {
      *error = "unknown argument \"" + arg + "\"";
      return false;
    }
  }
  if (!out->help && out->config.empty()) {
    *error = "--config is required";
    return false;
  }
  return true;
}

std::string ReadyJson(const std::vector<devserver::BoundHost>& hosts) {
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_CreateObject(), cJSON_Delete);
  cJSON_AddNumberToObject(root.get(), "pid", getpid());
  cJSON* list = cJSON_AddArrayToObject(root.get(), "hosts");
  for (const devserver::BoundHost& host : hosts) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "name", host.name.c_str());
    cJSON_AddStringToObject(item, "url", host.url.c_str());
    cJSON_AddStringToObject(item, "address", host.address.c_str());
    cJSON_AddNumberToObject(item, "port", host.port);
    cJSON_AddBoolToObject(item, "tls", host.tls);
    if (!host.ca.empty())
      cJSON_AddStringToObject(item, "ca", host.ca.c_str());
    cJSON_AddItemToArray(list, item);
  }
  std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_Print(root.get()), cJSON_free);
  return std::string(text.get()) + "\n";
}

// Whoever waits for the file sees it complete or not at all.
bool WriteReadyFile(const std::string& path, const std::string& text, std::string* error) {
  std::string temp = path + ".tmp." + std::to_string(getpid());
  FILE* file = fopen(temp.c_str(), "w");
  if (file == nullptr) {
    *error = path + ": cannot write the ready file: " + strerror(errno);
    return false;
  }
  bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = (fclose(file) == 0) && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    *error = path + ": cannot write the ready file: " + strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

// Blocks until SIGTERM or SIGINT (true) or until a server ends by itself (false).
bool WaitForStopSignal(const sigset_t& signals, const devserver::Devserver& server) {
  const timespec tick{0, 200 * 1000 * 1000};
  while (!server.AnyHostEnded()) {
    int got = sigtimedwait(&signals, nullptr, &tick);
    if (got == SIGTERM || got == SIGINT)
      return true;
  }
  return false;
}

int Run(const Options& options) {
  devserver::Config config;
  std::string error;
  if (!devserver::LoadConfigFile(options.config, &config, &error)) {
    fprintf(stderr, "tav-devserver: %s\n", error.c_str());
    return 2;
  }
  // Blocked before any thread starts, so every thread inherits the mask and
  // the signals wait for sigtimedwait below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  devserver::Devserver server(std::move(config));
  if (!server.Start(&error)) {
    fprintf(stderr, "tav-devserver: %s\n", error.c_str());
    return 1;
  }
  for (const devserver::BoundHost& host : server.hosts())
    printf("ready %s %s\n", host.name.c_str(), host.url.c_str());
  fflush(stdout);
  if (!options.ready_file.empty() &&
      !WriteReadyFile(options.ready_file, ReadyJson(server.hosts()), &error)) {
    fprintf(stderr, "tav-devserver: %s\n", error.c_str());
    return 1;
  }
  bool asked = WaitForStopSignal(signals, server);
  server.Stop();
  if (!asked) {
    fprintf(stderr, "tav-devserver: a server stopped by itself\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseArgs(argc, argv, &options, &error)) {
    fprintf(stderr, "tav-devserver: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (options.help) {
    fputs(kUsage, stdout);
    return 0;
  }
  return Run(options);
}
