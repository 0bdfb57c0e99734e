// The run state: the choices of a run that a later run resumes from. Held by
// the controller; read at start-up on the main thread.
#pragma once

#include <string>

struct RunState {
  std::string select_lang;  // display name of the selected language
};

// Reads the run-state file at `path` into `state`. False when there is none.
bool ReadRunState(const std::string& path, RunState* state);
