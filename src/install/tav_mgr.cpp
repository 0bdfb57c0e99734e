#include "install/tav_mgr.h"

#include <chrono>
#include <thread>

namespace {
TavMgr g_tav_mgr;
}  // namespace

TavMgr& TavMgr::Get() {
  return g_tav_mgr;
}

bool TavMgr::LoadLocalXml() {
  return ::LoadLocalXml(&settings);
}

void TavMgr::ReadRunConfig() {
  ReadRunState(settings.run_state_path, &run_state);
}

void TavMgr::WriteRunConfig() {
  WriteRunState(settings.run_state_path, run_state, fork_run);
}

void TavMgr::DeleteRunConfig() {
  DeleteRunState(settings.run_state_path, &run_state, fork_run);
}

bool TavMgr::LoadRuntimeDescription() {
  bool loaded = LoadServerXml(&settings, &runtime);
  if (!loaded) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    loaded = LoadServerXml(&settings, &runtime);
  }
  effective = MergeRuntimeValues(settings, runtime);
  return loaded;
}
