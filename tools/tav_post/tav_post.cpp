// tav-post HANDLE MSG WPARAM [TEXT]
//
// Lets an installer talk to a window of the program: without TEXT it posts
// MSG with WPARAM (for example 0x046F with a percentage); with TEXT, MSG must
// be 0x4A (WM_COPYDATA) and the text is sent and its answer awaited. HANDLE is
// decimal; MSG and WPARAM are decimal or 0x-hex. Exit code 0 on success, 1
// with a one-line message on stderr otherwise.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "platform/message_bus.h"

namespace {

constexpr int kCopyDataTimeoutMs = 5000;
constexpr size_t kMaxText = 64 * 1024;

std::optional<uint64_t> ParseUnsigned(std::string_view text, bool allow_hex) {
  int base = 10;
  if (allow_hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty() || text[0] == '+' || text[0] == '-')
    return std::nullopt;
  uint64_t value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || ptr != text.data() + text.size())
    return std::nullopt;
  return value;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "tav-post: %s\n", message.c_str());
  return 1;
}

int FailToReach(platform::WindowHandle window) {
  if (!platform::Bus().IsWindow(window))
    return Fail("no window " + std::to_string(window));
  return Fail("no answer from window " + std::to_string(window));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5)
    return Fail("usage: tav-post HANDLE MSG WPARAM [TEXT]");
  std::optional<uint64_t> handle = ParseUnsigned(argv[1], false);
  if (!handle || *handle == 0 || *handle > static_cast<uint64_t>(INT32_MAX)) {
    return Fail(std::string("bad window handle: ") + argv[1]);
  }
  std::optional<uint64_t> message = ParseUnsigned(argv[2], true);
  if (!message || *message > std::numeric_limits<uint32_t>::max()) {
    return Fail(std::string("bad message: ") + argv[2]);
  }
  std::optional<uint64_t> wparam = ParseUnsigned(argv[3], true);
  if (!wparam)
    return Fail(std::string("bad wparam: ") + argv[3]);

  auto window = static_cast<platform::WindowHandle>(*handle);
  if (argc == 4) {
    if (!platform::Bus().PostMessage(window, static_cast<uint32_t>(*message), *wparam, 0)) {
      return FailToReach(window);
    }
    return 0;
  }

  if (*message != platform::kWmCopyData)
    return Fail("a text can only go with message 0x4A");
  std::string text = argv[4];
  if (text.size() > kMaxText)
    return Fail("text longer than 64 KiB");
  int64_t result = 0;
  if (!platform::Bus().SendCopyData(window, text, kCopyDataTimeoutMs, &result)) {
    return FailToReach(window);
  }
  return 0;
}
