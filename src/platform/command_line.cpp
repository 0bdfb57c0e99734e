#include "platform/command_line.h"

namespace platform {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The program-name rule: a quote toggles quoting and is dropped; nothing is
// escaped; a blank outside quotes ends the name.
std::string::size_type TakeProgramName(std::string_view text, std::string* out) {
  std::string::size_type i = 0;
  bool quoted = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && IsBlank(c))
      break;
    out->push_back(c);
  }
  return i;
}

// The program name knows no escapes, so only blanks call for quotes (a name
// with a quote in it cannot be written at all).
std::string QuoteProgramName(std::string_view name) {
  if (!name.empty() && name.find_first_of(" \t") == std::string_view::npos) {
    return std::string(name);
  }
  return "\"" + std::string(name) + "\"";
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view text, std::string_view program_path) {
  std::vector<std::string> args;
  std::string::size_type i = 0;
  while (i < text.size() && IsBlank(text[i]))
    ++i;
  if (i == text.size()) {
    args.emplace_back(program_path);
    return args;
  }
  std::string name;
  i += TakeProgramName(text.substr(i), &name);
  args.push_back(std::move(name));

  while (true) {
    while (i < text.size() && IsBlank(text[i]))
      ++i;
    if (i >= text.size())
      break;
    std::string arg;
    bool quoted = false;
    while (i < text.size()) {
      char c = text[i];
      if (c == '\\') {
        std::string::size_type backslashes = 0;
        while (i < text.size() && text[i] == '\\') {
          ++backslashes;
          ++i;
        }
        if (i < text.size() && text[i] == '"') {
          arg.append(backslashes / 2, '\\');
          if (backslashes % 2 == 1) {
            arg.push_back('"');
            ++i;
          }
        } else {
          arg.append(backslashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        // Inside quotes a doubled quote stands for one quote and quoting goes on.
        if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
          arg.push_back('"');
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (!quoted && IsBlank(c))
        break;
      arg.push_back(c);
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::string QuoteArgument(std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string_view::npos) {
    return std::string(arg);
  }
  std::string out = "\"";
  std::string::size_type backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
      out.push_back('"');
    } else {
      out.append(backslashes, '\\');
      out.push_back(c);
    }
    backslashes = 0;
  }
  // Backslashes before the closing quote must be doubled to stay literal.
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

std::string BuildCommandLine(const std::vector<std::string>& args) {
  std::string text;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0)
      text.push_back(' ');
    text += i == 0 ? QuoteProgramName(args[0]) : QuoteArgument(args[i]);
  }
  return text;
}

}  // namespace platform
