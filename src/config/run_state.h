// The run state: the choices of a run that a later run resumes from, kept in
// "TAV_DOWNTASK_<product id>.xml" in the configuration folder. Held by the
// controller; read at start-up on the main thread, written by the main
// window and the download callbacks (the caller serialises them).
#pragma once

#include <string>

struct RunState {
  std::string status;             // "1" once downloads were started
  std::string join_exp;           // "1" once the user clicked install
  std::string select_lang;        // display name of the selected language
  std::string install_path;       // install root chosen by the user
  std::string agree_ext_install;  // "1" when the fork run's extra installs were agreed
  std::string tmp_package_path;   // the main package's resume file
  // "Status" read as a number is 1: this run continues an earlier one.
  bool resume = false;
};

// Reads `path` into `state`. A missing or malformed file, or one not rooted
// at "config", leaves the values as they were; the resume flag is set from
// "Status" in every case. Nothing happens for an empty path.
void ReadRunState(const std::string& path, RunState* state);

// Writes `state` over `path` (never in a fork run, never for an empty path).
// Failures are silent.
void WriteRunState(const std::string& path, const RunState& state, bool fork_run);

// Clears the resume flag and, in a normal run, deletes the file.
void DeleteRunState(const std::string& path, RunState* state, bool fork_run);

// The text WriteRunState writes for `state`.
std::string RunStateText(const RunState& state);
