// The workflow controller: the one object that owns the product settings,
// the run state and the run mode for the whole process. Constructed before
// main; start-up fills it on the main thread before any other thread runs.
#pragma once

#include <string>

#include "config/product_settings.h"
#include "config/run_state.h"
#include "platform/message_bus.h"

class TavMgr {
 public:
  static TavMgr& Get();

  // Loads the built-in product file and fixes the run-state path.
  bool LoadLocalXml();

  bool fork_run = false;
  std::string host_version;
  platform::WindowHandle host_hwnd = 0;
  platform::WindowHandle main_hwnd = 0;
  ProductSettings settings;
  RunState run_state;
  std::string run_state_path;
};
