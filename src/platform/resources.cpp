#include "platform/resources.h"

#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/paths.h"

extern "C" {
struct TavEmbeddedResource {
  const char* type;
  int id;
  const unsigned char* begin;
  const unsigned char* end;
};
const TavEmbeddedResource* TavEmbeddedResources(std::size_t* count);
}

namespace platform {
namespace {

bool LoadOverride(std::string_view type, int id, std::string* out) {
  std::string root = MachineRoot();
  if (root.empty())
    return false;
  std::string path = root + "/resources/" + std::string(type) + "/" + std::to_string(id);
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

bool LoadResource(std::string_view type, int id, std::string* out) {
  if (LoadOverride(type, id, out))
    return true;
  std::size_t count = 0;
  const TavEmbeddedResource* table = TavEmbeddedResources(&count);
  for (std::size_t i = 0; i < count; ++i) {
    if (table[i].id == id && type == table[i].type) {
      out->assign(reinterpret_cast<const char*>(table[i].begin),
                  static_cast<std::size_t>(table[i].end - table[i].begin));
      return true;
    }
  }
  return false;
}

}  // namespace platform
