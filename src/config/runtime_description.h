// The server's runtime description of the product: what the maker may change
// after release (download addresses, MD5 values, size, version, .NET
// requirement, pages, dependents to bind). Asked once per download
// preparation, on the preparing thread; the values are held by the
// controller beside the product settings.
#pragma once

#include <cstdint>
#include <string>

#include "config/product_settings.h"

struct RuntimeValues {
  std::string name;
  std::string version;
  std::string process_name;
  std::string install_url;
  std::string download_url_x64;
  std::string download_url;
  std::string download_url_with_framework;
  std::string download_url_net;
  std::string download_url_net_with_framework;
  std::string banner_url;
  std::string oiap_url;
  std::string user_agreement_url;
  std::string privacy_agreement_url;
  std::string md5;
  std::string history_md5_32;
  std::string md5_64;
  std::string history_md5_64;
  std::string filesize;
  std::string netfx_minver;
  std::string netfxlite_url;
  std::string languages;
  std::string url_jump;
  std::string install_error_url;
  std::string custom_install_path;
  std::string is_allow_install_admin_path;
  std::string not_support_win32;
};

// The values later steps use: the runtime value where it takes precedence,
// else the product file's.
struct EffectiveValues {
  std::string dotnet_min_ver;
  std::string dotnet_url;
  std::string install_url;  // thank-you page
  std::string banner_url;
  std::string license_url;
  std::string languages;
  std::string user_agreement_url;
  std::string privacy_agreement_url;
  std::string url_jump;
  std::string install_error_url;
  std::string custom_install_path;
  int install_time = 240;  // seconds the installation is expected to take
};

// This program's version as "major.minor.build" ("3.0.5" when it cannot be
// read), and as "major.minor.build.revision".
std::string TavVersion3();
std::string TavVersion4();

// Where the description is asked: the static file beside the 32-bit download
// when the product has both an app id and a channel, else the runtime API.
std::string RuntimeRequestUrl(const ProductSettings& settings, const std::string& client_sign,
                              const std::string& tav_version, bool is_64bit_os);

// Reads an answer into `values` and merges its bind items into the
// dependents of `settings`. True when it held a "runtime" element.
bool ApplyRuntimeAnswer(const std::string& answer, RuntimeValues* values,
                        ProductSettings* settings);

// Asks the server and applies its answer (above), then reports the
// "downloader_config" event, sets the tracking values and fetches the track
// id. False when the server could not be reached or gave no "runtime", so
// the caller may try again; the values then keep what they had.
bool LoadServerXml(ProductSettings* settings, RuntimeValues* values);

EffectiveValues MergeRuntimeValues(const ProductSettings& settings, const RuntimeValues& values);
