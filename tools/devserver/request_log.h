// The request log: one JSON object a line for every request any host
// received, appended to one file so that tests can assert on what reached
// the servers.
//
// Write may be called from any thread at once; each line goes out in one
// write() on a file opened with O_APPEND, so lines never interleave (not even
// with another process appending to the same file) and nothing waits in a
// buffer.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace devserver {

struct LoggedRequest {
  std::string host;  // the host's configured name
  bool tls = false;
  std::string local_address;
  int local_port = 0;
  std::string remote_address;
  int remote_port = 0;
  std::string method;
  std::string path;    // decoded, without the query
  std::string query;   // as sent, without "?"
  std::string target;  // the request target as sent
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;  // as received
  int64_t body_size = 0;
  int status = 0;
};

class RequestLog {
 public:
  RequestLog() = default;
  ~RequestLog();
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;

  // Opens (creating) `path` for appending. An empty path keeps the log off.
  bool Open(const std::string& path, std::string* error);
  bool enabled() const { return fd_ >= 0; }

  void Write(const LoggedRequest& request);

  // The line for one request (no newline). `time_ms` is milliseconds since
  // the Unix epoch. Text that is not valid UTF-8 is repaired with U+FFFD so
  // every line stays valid JSON.
  static std::string FormatLine(const LoggedRequest& request, int64_t seq, int64_t time_ms);

 private:
  int fd_ = -1;
  std::mutex mutex_;
  int64_t seq_ = 0;
};

}  // namespace devserver
