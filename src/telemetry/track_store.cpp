#include "telemetry/track_store.h"

#include <map>
#include <mutex>

#include "app/simple_log.h"
#include "support/deployment.h"
#include "support/http_request.h"

namespace {

struct DependentRecord {
  bool forced = false;
  std::string md5_list;
};

struct TrackStore {
  std::mutex lock;
  std::map<std::string, std::string> values;
  std::string server_host;
  std::map<int, DependentRecord> dependents;
  std::string track_id;
};

TrackStore& Store() {
  static TrackStore* store = new TrackStore;  // outlives every thread that reports
  return *store;
}

}  // namespace

void SetTrackString(const std::string& key, const std::string& value) {
  TrackStore& s = Store();
  std::lock_guard<std::mutex> guard(s.lock);
  s.values[key] = value;
}

std::string GetTrackString(const std::string& key) {
  TrackStore& s = Store();
  std::lock_guard<std::mutex> guard(s.lock);
  auto it = s.values.find(key);
  return it == s.values.end() ? std::string() : it->second;
}

void SetTrackServerHost(const std::string& host) {
  TrackStore& s = Store();
  std::lock_guard<std::mutex> guard(s.lock);
  s.server_host = host;
}

std::string GetTrackServerHost() {
  TrackStore& s = Store();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.server_host;
}

void SetDependentForced(int product_id, bool forced) {
  TrackStore& s = Store();
  std::lock_guard<std::mutex> guard(s.lock);
  s.dependents[product_id].forced = forced;
}

void SetDependentMd5List(int product_id, const std::string& md5_list) {
  TrackStore& s = Store();
  std::lock_guard<std::mutex> guard(s.lock);
  s.dependents[product_id].md5_list = md5_list;
}

bool GetDependentRecord(int product_id, bool* forced, std::string* md5_list) {
  TrackStore& s = Store();
  std::lock_guard<std::mutex> guard(s.lock);
  auto it = s.dependents.find(product_id);
  if (it == s.dependents.end())
    return false;
  if (forced != nullptr)
    *forced = it->second.forced;
  if (md5_list != nullptr)
    *md5_list = it->second.md5_list;
  return true;
}

bool PostProductSeries(const std::string& /*product_id*/, const std::string& /*client_sign*/) {
  return false;
}

std::string RequestTrackId(const std::string& product_id) {
  const std::string url =
      GetDeployment().product_web_host + "/api/v1/prodweb/trk?pid=" + product_id + "&os=Windows";
  LOG_INFO("[INFO] %d - get tid: %s", url.c_str());
  CHttpRequest request;
  int code = 0;
  const std::string answer =
      request.CurlRequest(CHttpRequest::kGet, url, {}, /*http10=*/true, false, "", &code);
  LOG_INFO("[INFO] %d - response tid: %s", answer.c_str());

  // The answer is searched, not parsed: "code":0 and then the text of "data".
  std::string track_id;
  const std::string::size_type ok = answer.find("\"code\":0");
  const std::string data_key = "\"data\":\"";
  const std::string::size_type data =
      ok == std::string::npos ? std::string::npos : answer.find(data_key, ok);
  if (data != std::string::npos) {
    const std::string::size_type begin = data + data_key.size();
    const std::string::size_type end = answer.find('"', begin);
    if (end != std::string::npos)
      track_id = answer.substr(begin, end - begin);
  }
  TrackStore& s = Store();
  std::lock_guard<std::mutex> guard(s.lock);
  s.track_id = track_id;
  return track_id;
}

std::string GetTrackId() {
  TrackStore& s = Store();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.track_id;
}
