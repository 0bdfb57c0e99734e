// Resources built into the program, found by (type, id).
//
// The build embeds files into the binary (cmake/tav_resources.cmake). A file
// $TAV_ROOT/resources/<TYPE>/<id> overrides the built-in resource of that type
// and id, so a test or a trial deployment can run a build with other product
// files. Thread-safe; no state besides the read-only table.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Well-known resource ids of the program.
inline constexpr int kResIcon = 101;              // ICON
inline constexpr int kResNetChecker = 105;        // EXE
inline constexpr int kResProductXml = 106;        // XML
inline constexpr int kResNetCheckerConfig = 109;  // XML
inline constexpr int kResLangXml = 131;           // XML
inline constexpr int kResSkinZip = 133;           // ZIPRES
inline constexpr int kResBackground = 136;        // PNG
inline constexpr int kResDeployment = 150;        // XML

// Copies the bytes of resource (type, id) into `out`. False when there is no
// such resource (an override file that cannot be read counts as missing).
bool LoadResource(std::string_view type, int id, std::string* out);

}  // namespace platform
