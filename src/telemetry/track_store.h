// The tracking store: process-wide values that the run summary reports,
// with the per-dependent records. Every function takes the tracking lock and
// may be called from any thread.
#pragma once

#include <string>

void SetTrackString(const std::string& key, const std::string& value);
std::string GetTrackString(const std::string& key);

// The maker's server address ("ServerHost", ending in "/"), from which the
// tracking posts build their addresses.
void SetTrackServerHost(const std::string& host);
std::string GetTrackServerHost();

// Per-dependent records, keyed by the dependent's product id.
void SetDependentForced(int product_id, bool forced);
void SetDependentMd5List(int product_id, const std::string& md5_list);
bool GetDependentRecord(int product_id, bool* forced, std::string* md5_list);

// Posts the product series of this computer. Not sent yet: the tracking
// posts arrive with the telemetry work; false until then.
bool PostProductSeries(const std::string& product_id, const std::string& client_sign);

// Asks the maker's product-web host for the track id of this run and keeps
// it for the run summary; returns it ("" when the answer has none).
std::string RequestTrackId(const std::string& product_id);
std::string GetTrackId();
