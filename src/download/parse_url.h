// URL splitting, status lines, header values and redirects, as the HTTP
// clients of the installer (the download connections and the raw API request)
// understand them. Plain functions on UTF-8 text; any thread.
#pragma once

#include <cstdint>
#include <string>

// The URL as every client works on it: trimmed of white space, every "\"
// turned into "/", and "http://" put in front when it names no scheme.
std::string NormalizeUrl(const std::string& url);

// Splits `url` (normalized first) into the host name (lower case), the object
// path (from the first "/" after the host on, in its original case, each space
// written as "%20" and each "+" as "%2B") and the port (the decimal number
// after ":", 80 without one). The scheme is dropped without being checked, so
// "https://h/x" gives port 80. Fails, leaving the outputs untouched, when no
// "/" follows the host or the port is not a number from 1 to 65535. `scheme`
// (may be null) receives the scheme in lower case.
bool ParseUrl(const std::string& url, std::string* host, std::string* path, uint16_t* port,
              std::string* scheme = nullptr);

// The Referer sent for `url`: the URL cut at its first "?", then before its
// last "/" ("http://h/a/b.exe?x" gives "http://h/a").
std::string RefererFromUrl(const std::string& url);

// The status code of an answer: the first line loses everything up to its
// first space, the rest is trimmed and read as a decimal number up to its next
// space. 0 when the line has no space or no number.
int StatusCode(const std::string& header_text);

// The value of header `key` (given with its colon, "location:"), matched
// without regard to case at the start of a line of the header block (the text
// after the status line up to the blank line). The value runs to the next
// CR LF and is trimmed. "" when the key is missing or its line has no CR LF.
std::string HeaderValue(const std::string& header_text, const std::string& key);

// Where a request goes: the full URL and its parts from ParseUrl.
struct UrlTarget {
  std::string url;
  std::string host;
  std::string path;
  uint16_t port = 80;
};

// Fills `target` from `url` (normalized); false when ParseUrl rejects it.
bool SetUrlTarget(const std::string& url, UrlTarget* target);

enum class RedirectKind {
  kAbsolute,  // the location names a scheme: it becomes the URL
  kRooted,    // it begins with "/": only the object path changes
  kRelative,  // it is resolved against the URL's folder
};

enum class RedirectLog {
  kRequest,  // "[INFO] ... - redirect url=[...]"
  kResume,   // "[INFO] ... - resume, redirect url=[...]"
};

// Follows the Location value `location` of a 3xx answer to `target`:
// "%3A" and "%2F" are decoded; `referer` becomes the current URL's referer;
// a location with "://" replaces the URL; otherwise "\" become "/", and a
// location beginning with "/" replaces the object path only (host, port and
// URL stay); a relative one drops the URL's query and file name, one more
// folder per leading "../" (never the host), a leading "./", and is appended.
// The new URL is logged and split again. Fails when the location is empty or
// the new URL cannot be split (`target` then stays as it was). `kind` (may be
// null) tells which case applied.
bool ApplyRedirect(const std::string& location, UrlTarget* target, std::string* referer,
                   RedirectLog log = RedirectLog::kRequest, RedirectKind* kind = nullptr);
