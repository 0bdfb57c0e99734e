// Command lines in the Windows form: one text, split into arguments by the
// rules of CommandLineToArgvW. The fork run starts the program with such a
// text, and installers are given one, so building and splitting must agree.
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Splits `text` into arguments. The first argument follows the rule for a
// program name (quotes group, backslashes are literal); the rest follow the
// argument rule (2n backslashes before a quote give n and the quote toggles
// quoting; 2n+1 give n and a literal quote; "" inside quotes is a literal
// quote). An empty or blank text yields a single argument, `program_path`.
std::vector<std::string> SplitCommandLine(std::string_view text,
                                          std::string_view program_path = {});

// Quotes one argument so that SplitCommandLine gives it back unchanged.
std::string QuoteArgument(std::string_view arg);

// Joins arguments with blanks, each quoted as needed.
std::string BuildCommandLine(const std::vector<std::string>& args);

}  // namespace platform
