// The program's entry: command-line table, run mode, start-up checks, the
// single-instance guard, the message loop and shutdown. Main thread only.
#pragma once

#include <map>
#include <string>
#include <vector>

// The command-line table: each argument split at its first "=" into key and
// value (no "=": the whole argument is the key, the value is empty); a later
// key replaces the earlier value. Keys compare exactly.
using CommandLineTable = std::map<std::string, std::string>;
CommandLineTable ParseArguments(const std::vector<std::string>& args);

// True when the table selects a fork run ("OnlyForkInstallDependent" is "1").
bool IsForkRun(const CommandLineTable& table);

// Runs the program with its arguments (without the program path) and returns
// the process's exit code: 0 after a normal end, -1 for an early stop.
int TavMain(const std::vector<std::string>& args);
