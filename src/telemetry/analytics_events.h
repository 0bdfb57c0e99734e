// The analytics events of the workflow. Each call hands one event to the
// analytics reporter and returns at once; any thread.
#pragma once

#include <cstdint>
#include <string>

// "downloader_config": what the runtime description offered.
struct ConfigEvent {
  std::string name;
  std::string process_name;
  int64_t file_size = 0;
  std::string download_url;
  std::string md5;
  std::string download_url_x64;
  std::string md5_64;
  int result_code = 0;
};
// Not sent yet: the analytics client arrives with the telemetry work.
void ReportConfig(const ConfigEvent& event);
