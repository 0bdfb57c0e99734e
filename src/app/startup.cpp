#include "app/startup.h"

#include <charconv>
#include <cstdint>

#include "app/simple_log.h"
#include "config/lang_table.h"
#include "install/tav_mgr.h"
#include "platform/admin.h"
#include "platform/crash_handler.h"
#include "platform/instance_guard.h"
#include "platform/message_bus.h"
#include "platform/paths.h"
#include "ui/message_box.h"

namespace {

constexpr int kEarlyStop = -1;
constexpr char kMainWindowClass[] = "TAV";

// The crash record is filled by the platform layer; the run summary and the
// crash event are sent from here once telemetry exists.
void OnCrash(const platform::CrashRecord& /*record*/) {}

void StopBox(bool fork_run, const char* text) {
  if (!fork_run)
    ShowMessageBox(kBoxError, "Error", text);
}

// "HostHwnd" as a signed decimal number; false for any other text or a value
// that is no 32-bit handle.
bool ParseHostHwnd(const std::string& text, platform::WindowHandle* handle) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end)
    return false;
  *handle = static_cast<platform::WindowHandle>(value);
  return true;
}

void ApplyHostValues(const CommandLineTable& table, TavMgr& mgr) {
  auto lang = table.find("HostLang");
  if (lang != table.end())
    SetSelectLang(&mgr.run_state, lang->second);
  auto version = table.find("HostVersion");
  if (version != table.end())
    mgr.host_version = version->second;
  auto hwnd = table.find("HostHwnd");
  if (hwnd == table.end() || hwnd->second.empty())
    return;
  platform::WindowHandle handle = 0;
  if (!ParseHostHwnd(hwnd->second, &handle)) {
    LOG_WARN("[WARN] %d - bad host hwnd=[%s], no host window.", hwnd->second.c_str());
    return;
  }
  mgr.host_hwnd = handle;
  LOG_INFO("[INFO] %d - set host hwnd=[%x].", handle);
}

}  // namespace

CommandLineTable ParseArguments(const std::vector<std::string>& args) {
  CommandLineTable table;
  for (const std::string& arg : args) {
    std::string::size_type eq = arg.find('=');
    if (eq == std::string::npos) {
      table[arg].clear();
    } else {
      table[arg.substr(0, eq)] = arg.substr(eq + 1);
    }
  }
  return table;
}

bool IsForkRun(const CommandLineTable& table) {
  auto it = table.find("OnlyForkInstallDependent");
  return it != table.end() && it->second == "1";
}

int TavMain(const std::vector<std::string>& args) {
  // An empty command line yields the program's own path as its only argument.
  const CommandLineTable table =
      ParseArguments(args.empty() ? std::vector<std::string>{platform::OwnExePath()} : args);
  const bool fork_run = IsForkRun(table);

  InitLog(fork_run ? "vtForkTAV.log" : "vtTAV.log");
  LOG_INFO("[INFO] %d - start, fork=[%d].", fork_run ? 1 : 0);

  platform::InstallCrashHandler(&OnCrash);

  if (!platform::IsAdministrator()) {
    LOG_ERROR("[ERROR] %d - You must be logged in as administrator when installing this program.");
    StopBox(fork_run, "You must be logged in as administrator when installing this program.");
    return kEarlyStop;
  }

  TavMgr& mgr = TavMgr::Get();
  mgr.fork_run = fork_run;

  if (!mgr.LoadLocalXml()) {
    LOG_ERROR("[ERROR] %d - LoadLocalXml failed!");
    StopBox(fork_run, "Load product xml error.");
    return kEarlyStop;
  }

  // A missing or unreadable run state leaves its values empty.
  mgr.ReadRunConfig();

  if (fork_run)
    ApplyHostValues(table, mgr);

  LangTable lang_table;
  if (!lang_table.loadLangXML(mgr.settings.product_brand)) {
    LOG_ERROR("[ERROR] %d - loadLangXML failed!");
    StopBox(fork_run, "Load lang xml error.");
    return kEarlyStop;
  }

  const std::string guard_name = mgr.settings.product_name + "_tav" + (fork_run ? "_fork" : "");
  platform::InstanceGuard guard;
  switch (guard.Acquire(guard_name)) {
    case platform::InstanceGuard::Result::kAcquired:
      break;
    case platform::InstanceGuard::Result::kAlreadyExists:
      LOG_WARN("[WARN] %d - Already exist PreInstance.");
      if (!fork_run)
        platform::ActivateWindow(kMainWindowClass, mgr.settings.product_name);
      return kEarlyStop;
    case platform::InstanceGuard::Result::kError:
      // Without a guard the run still works; it only loses the protection
      // against a second instance.
      LOG_WARN("[WARN] %d - instance guard [%s] cannot be created.", guard_name.c_str());
      break;
  }

  // There is no COM to set up on this platform, and no window yet: the loop
  // below has nothing to run.
  LOG_INFO("[INFO] %d - MessageLoop");
  LOG_INFO("[INFO] %d - MessageLoop end");
  guard.Release();
  LOG_INFO("[INFO] %d - exit!");
  return 0;
}
