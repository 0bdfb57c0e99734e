#include "download/parse_url.h"

#include <algorithm>
#include <cctype>

#include "app/simple_log.h"

namespace {

constexpr char kWhiteSpace[] = " \t\r\n\v\f";

std::string Trim(const std::string& text) {
  const std::string::size_type begin = text.find_first_not_of(kWhiteSpace);
  if (begin == std::string::npos)
    return {};
  const std::string::size_type end = text.find_last_not_of(kWhiteSpace);
  return text.substr(begin, end - begin + 1);
}

// ASCII only: host names and header keys; other bytes of UTF-8 text stay.
std::string Lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (std::string::size_type pos = text->find(from); pos != std::string::npos;
       pos = text->find(from, pos + to.size()))
    text->replace(pos, from.size(), to);
}

// Position of the "://" that ends the scheme, or npos. A "://" after a "/" or
// "?" belongs to the path or query ("h/go?u=http://x"), not to a scheme.
std::string::size_type SchemeEnd(const std::string& url) {
  const std::string::size_type sep = url.find("://");
  if (sep == std::string::npos)
    return sep;
  return url.find_first_of("/?#") < sep ? std::string::npos : sep;
}

// Digits only, 1 to 65535.
bool ParsePort(const std::string& text, uint16_t* port) {
  if (text.empty() || text.size() > 5)
    return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535)
    return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// Where the path of a normalized URL begins (its "/" after the host), or the
// URL's length when it has none.
std::string::size_type RootEnd(const std::string& url) {
  const std::string::size_type sep = SchemeEnd(url);
  const std::string::size_type host = sep == std::string::npos ? 0 : sep + 3;
  const std::string::size_type slash = url.find('/', host);
  return slash == std::string::npos ? url.size() : slash;
}

// The URL of a relative location: the query and file name go, then one folder
// per leading "../", but never the scheme and host.
std::string ResolveRelative(const std::string& url, std::string location) {
  int up = 0;
  while (location.compare(0, 3, "../") == 0) {
    location.erase(0, 3);
    ++up;
  }
  if (location.compare(0, 2, "./") == 0)
    location.erase(0, 2);
  std::string base = url.substr(0, url.find('?'));
  const std::string::size_type root = RootEnd(base);
  for (int i = 0; i <= up; ++i) {
    const std::string::size_type slash = base.rfind('/');
    if (slash == std::string::npos || slash < root) {
      base.resize(std::min(root, base.size()));
      break;
    }
    base.resize(slash);
  }
  return base + "/" + location;
}

}  // namespace

std::string NormalizeUrl(const std::string& url) {
  std::string text = Trim(url);
  ReplaceAll(&text, "\\", "/");
  if (SchemeEnd(text) == std::string::npos)
    text.insert(0, "http://");
  return text;
}

bool ParseUrl(const std::string& url, std::string* host, std::string* path, uint16_t* port,
              std::string* scheme) {
  const std::string text = NormalizeUrl(url);
  const std::string lower = Lower(text);
  const std::string::size_type sep = SchemeEnd(lower);
  // The host ends at the path; a query or fragment right after it leaves
  // the URL without a path.
  const std::string::size_type slash = lower.find_first_of("/?#", sep + 3);
  if (slash == std::string::npos || lower[slash] != '/')
    return false;
  const std::string authority = lower.substr(sep + 3, slash - sep - 3);
  const std::string::size_type colon = authority.find(':');
  uint16_t parsed_port = 80;
  if (colon != std::string::npos && !ParsePort(authority.substr(colon + 1), &parsed_port))
    return false;
  std::string object = text.substr(slash);
  ReplaceAll(&object, " ", "%20");
  ReplaceAll(&object, "+", "%2B");
  *host = authority.substr(0, colon);
  *path = std::move(object);
  *port = parsed_port;
  if (scheme != nullptr)
    *scheme = lower.substr(0, sep);
  return true;
}

std::string RefererFromUrl(const std::string& url) {
  std::string referer = url.substr(0, url.find('?'));
  const std::string::size_type slash = referer.rfind('/');
  if (slash != std::string::npos)
    referer.resize(slash);
  return referer;
}

int StatusCode(const std::string& header_text) {
  const std::string line = header_text.substr(0, header_text.find('\n'));
  const std::string::size_type space = line.find(' ');
  if (space == std::string::npos)
    return 0;
  const std::string rest = Trim(line.substr(space + 1));
  const std::string code = rest.substr(0, rest.find(' '));
  int value = 0;
  for (std::string::size_type i = 0; i < code.size() && i < 9; ++i) {
    if (code[i] < '0' || code[i] > '9')
      break;
    value = value * 10 + (code[i] - '0');
  }
  return value;
}

std::string HeaderValue(const std::string& header_text, const std::string& key) {
  const std::string::size_type first_end = header_text.find("\r\n");
  if (first_end == std::string::npos || key.empty())
    return {};
  const std::string::size_type begin = first_end + 2;
  const std::string::size_type blank = header_text.find("\r\n\r\n", first_end);
  const std::string::size_type end = blank == std::string::npos ? header_text.size() : blank + 2;
  const std::string block = header_text.substr(begin, end - begin);
  const std::string lower_block = Lower(block);
  const std::string lower_key = Lower(key);
  for (std::string::size_type pos = lower_block.find(lower_key); pos != std::string::npos;
       pos = lower_block.find(lower_key, pos + 1)) {
    if (pos != 0 && lower_block[pos - 1] != '\n')
      continue;
    const std::string::size_type value = pos + lower_key.size();
    const std::string::size_type line_end = block.find("\r\n", value);
    if (line_end == std::string::npos)
      return {};
    return Trim(block.substr(value, line_end - value));
  }
  return {};
}

bool SetUrlTarget(const std::string& url, UrlTarget* target) {
  UrlTarget parsed;
  parsed.url = NormalizeUrl(url);
  if (!ParseUrl(parsed.url, &parsed.host, &parsed.path, &parsed.port))
    return false;
  *target = std::move(parsed);
  return true;
}

bool ApplyRedirect(const std::string& location, UrlTarget* target, std::string* referer,
                   RedirectLog log, RedirectKind* kind) {
  std::string next = location;
  ReplaceAll(&next, "%3A", ":");
  ReplaceAll(&next, "%2F", "/");
  *referer = RefererFromUrl(target->url);
  std::string url;
  if (next.find("://") != std::string::npos) {
    if (kind != nullptr)
      *kind = RedirectKind::kAbsolute;
    url = next;
  } else {
    ReplaceAll(&next, "\\", "/");
    if (!next.empty() && next[0] == '/') {
      if (kind != nullptr)
        *kind = RedirectKind::kRooted;
      target->path = next;
      return true;
    }
    if (kind != nullptr)
      *kind = RedirectKind::kRelative;
    // An empty location would only ask for the same folder again.
    if (!next.empty())
      url = ResolveRelative(target->url, next);
  }
  if (!url.empty()) {
    if (log == RedirectLog::kResume) {
      LOG_INFO("[INFO] %d - resume, redirect url=[%s]", url.c_str());
    } else {
      LOG_INFO("[INFO] %d - redirect url=[%s]", url.c_str());
    }
  }
  if (url.empty() || !SetUrlTarget(url, target)) {
    LOG_ERROR("[ERROR] %d - http download, parse response redirect failed!");
    return false;
  }
  return true;
}
