#include "devserver/request_log.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>

namespace devserver {
namespace {

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  if (c < 0x80)
    return 1;
  size_t n = 0;
  uint32_t cp = 0;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size())
    return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80)
      return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

std::string ValidUtf8(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t n = Utf8SequenceLength(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    out.append(s, i, n);
    i += n;
  }
  return out;
}

std::string IsoTime(int64_t time_ms) {
  time_t seconds = static_cast<time_t>(time_ms / 1000);
  tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  char with_ms[48];
  snprintf(with_ms, sizeof with_ms, "%s.%03dZ", text, static_cast<int>(time_ms % 1000));
  return with_ms;
}

void AddString(cJSON* object, const char* key, const std::string& value) {
  cJSON_AddItemToObject(object, key, cJSON_CreateString(ValidUtf8(value).c_str()));
}

cJSON* HeadersObject(const LoggedRequest& request) {
  cJSON* headers = cJSON_CreateObject();
  for (const auto& [name, value] : request.headers) {
    std::string key = ValidUtf8(name);
    cJSON* existing = cJSON_GetObjectItemCaseSensitive(headers, key.c_str());
    if (existing == nullptr) {
      AddString(headers, key.c_str(), value);
      continue;
    }
    // A repeated field means the same as one field with the values joined.
    std::string joined = std::string(existing->valuestring) + ", " + ValidUtf8(value);
    cJSON_ReplaceItemInObjectCaseSensitive(headers, key.c_str(),
                                           cJSON_CreateString(joined.c_str()));
  }
  return headers;
}

}  // namespace

RequestLog::~RequestLog() {
  if (fd_ >= 0)
    close(fd_);
}

bool RequestLog::Open(const std::string& path, std::string* error) {
  if (path.empty())
    return true;
  fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    *error = path + ": cannot open the request log: " + strerror(errno);
    return false;
  }
  return true;
}

void RequestLog::Write(const LoggedRequest& request) {
  if (fd_ < 0)
    return;
  auto now = std::chrono::system_clock::now().time_since_epoch();
  int64_t time_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  std::lock_guard<std::mutex> lock(mutex_);
  std::string line = FormatLine(request, ++seq_, time_ms) + "\n";
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    done += static_cast<size_t>(n);
  }
}

std::string RequestLog::FormatLine(const LoggedRequest& request, int64_t seq, int64_t time_ms) {
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> line(cJSON_CreateObject(), cJSON_Delete);
  cJSON* o = line.get();
  cJSON_AddNumberToObject(o, "seq", static_cast<double>(seq));
  AddString(o, "time", IsoTime(time_ms));
  AddString(o, "host", request.host);
  cJSON_AddBoolToObject(o, "tls", request.tls);
  AddString(o, "local_address", request.local_address);
  cJSON_AddNumberToObject(o, "local_port", request.local_port);
  AddString(o, "remote_address", request.remote_address);
  cJSON_AddNumberToObject(o, "remote_port", request.remote_port);
  AddString(o, "method", request.method);
  AddString(o, "path", request.path);
  AddString(o, "query", request.query);
  AddString(o, "target", request.target);
  AddString(o, "version", request.version);
  cJSON_AddItemToObject(o, "headers", HeadersObject(request));
  cJSON_AddNumberToObject(o, "body_size", static_cast<double>(request.body_size));
  cJSON_AddNumberToObject(o, "status", request.status);
  std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(o), cJSON_free);
  return text ? std::string(text.get()) : std::string("{}");
}

}  // namespace devserver
