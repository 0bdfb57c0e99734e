#include "support/text_util.h"

#include <ctime>

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr std::string_view kBlanks = " \t\r\n\v\f";

// Decodes the character at `pos`. Returns the number of bytes it takes (at
// least 1); an ill-formed sequence gives U+FFFD for its longest well-formed
// prefix, as Unicode recommends for converters.
size_t DecodeAt(std::string_view text, size_t pos, char32_t* out) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    *out = lead;
    return 1;
  }
  size_t need = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    value = lead & 0x0F;
    if (lead == 0xE0)
      low = 0xA0;
    if (lead == 0xED)
      high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    value = lead & 0x07;
    if (lead == 0xF0)
      low = 0x90;
    if (lead == 0xF4)
      high = 0x8F;  // nothing above U+10FFFF
  } else {
    *out = kReplacement;
    return 1;
  }
  size_t used = 1;
  for (; used <= need; ++used) {
    if (pos + used >= text.size()) {
      *out = kReplacement;
      return used;
    }
    const unsigned char next = byte(pos + used);
    if (next < low || next > high) {
      *out = kReplacement;
      return used;
    }
    low = 0x80;
    high = 0xBF;
    value = (value << 6) | (next & 0x3F);
  }
  *out = value;
  return used;
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Valid UTF-8 unchanged; ill-formed sequences become U+FFFD.
std::string Repair(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    char32_t cp = 0;
    const size_t used = DecodeAt(text, pos, &cp);
    if (cp == kReplacement) {
      AppendUtf8(cp, &out);
    } else {
      out.append(text.substr(pos, used));
    }
    pos += used;
  }
  return out;
}

}  // namespace

std::string AnsiToWide(std::string_view text) {
  return Repair(text);
}

std::string WideToAnsi(std::string_view text) {
  return Repair(text);
}

std::string Utf8ToWide(std::string_view text) {
  return Repair(text);
}

std::string WideToUtf8(std::string_view text) {
  return Repair(text);
}

size_t Utf16Length(std::string_view text) {
  size_t units = 0;
  for (size_t pos = 0; pos < text.size();) {
    char32_t cp = 0;
    pos += DecodeAt(text, pos, &cp);
    units += cp >= 0x10000 ? 2 : 1;
  }
  return units;
}

std::string CutToUtf16Length(std::string_view text, size_t max_units) {
  size_t units = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = 0;
    const size_t used = DecodeAt(text, pos, &cp);
    const size_t width = cp >= 0x10000 ? 2 : 1;
    if (units + width > max_units)
      break;
    units += width;
    pos += used;
  }
  return std::string(text.substr(0, pos));
}

std::string UnsignedToText(uint32_t value) {
  return std::to_string(value);
}

std::string IntToWide(int32_t value) {
  return std::to_string(value);
}

std::string IntToHexWide(int32_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  uint32_t rest = static_cast<uint32_t>(value);
  std::string out;
  do {
    out.insert(out.begin(), kDigits[rest & 0xF]);
    rest >>= 4;
  } while (rest != 0);
  return out;
}

std::string Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos)
    return {};
  const size_t last = text.find_last_not_of(kBlanks);
  return std::string(text.substr(first, last - first + 1));
}

int SplitTrimmed(std::string_view text, std::string_view separator,
                 std::vector<std::string>* pieces) {
  std::vector<std::string> found;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t at = separator.empty() ? std::string_view::npos : text.find(separator, start);
    const size_t end = at == std::string_view::npos ? text.size() : at;
    std::string piece = Trim(text.substr(start, end - start));
    if (!piece.empty())
      found.push_back(std::move(piece));
    if (at == std::string_view::npos)
      break;
    start = at + separator.size();
  }
  const int count = static_cast<int>(found.size());
  if (pieces != nullptr)
    *pieces = std::move(found);
  return count;
}

std::string RemoveAll(std::string_view text, std::string_view what) {
  if (what.empty())
    return std::string(text);
  std::string out;
  size_t start = 0;
  for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, start)) {
    out.append(text.substr(start, at - start));
    start = at + what.size();
  }
  out.append(text.substr(start));
  return out;
}

bool IsHttpUrl(std::string_view text) {
  const std::string url = Trim(text);
  if (url.starts_with("http://"))
    return url.size() > 7;
  if (url.starts_with("https://"))
    return url.size() > 8;
  return false;
}

std::string AddTimeParameter(std::string_view url) {
  std::string out(url);
  out += url.find('?') == std::string_view::npos ? "?" : "&";
  out += "_t=";
  out += std::to_string(static_cast<uint64_t>(std::time(nullptr)));
  return out;
}

std::string LocalTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr)
    return {};
  char buffer[32];
  const size_t n = std::strftime(buffer, sizeof(buffer), "%Y%m%d%H%M%S", &local);
  return std::string(buffer, n);
}
