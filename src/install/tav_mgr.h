// The workflow controller: the one object that owns the product settings,
// the runtime description, the run state and the run mode for the whole
// process. Constructed before main; start-up fills it on the main thread
// before any other thread runs, and the download preparation adds the
// runtime values on its own thread before the downloads start.
#pragma once

#include <string>

#include "config/product_settings.h"
#include "config/run_state.h"
#include "config/runtime_description.h"
#include "platform/message_bus.h"

class TavMgr {
 public:
  static TavMgr& Get();

  // Loads the built-in product file and fixes the run-state path.
  bool LoadLocalXml();
  // The run-state file of this product: read at start-up, written when
  // downloads start, deleted when everything is installed.
  void ReadRunConfig();
  void WriteRunConfig();
  void DeleteRunConfig();
  // Asks the server for the runtime description, a second time 500 ms later
  // when the first try got none, and fixes the effective values. The values
  // fall back to the product file's when both tries fail.
  bool LoadRuntimeDescription();

  bool fork_run = false;
  std::string host_version;
  platform::WindowHandle host_hwnd = 0;
  platform::WindowHandle main_hwnd = 0;
  ProductSettings settings;
  RunState run_state;
  RuntimeValues runtime;
  EffectiveValues effective;
};
