#include "host/events.h"

#include <array>
#include <cstdio>

std::timed_mutex outputLock;

void emitEvent(std::string_view text) {
  static constexpr char lineEnd[] = "\r\n";
  std::lock_guard<std::timed_mutex> lock(outputLock);
  if (std::ferror(stdout)) return;
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fwrite(lineEnd, 1, 2, stdout);
  std::fflush(stdout);
}

namespace {

// Bytes that jsonEscape must rewrite: the control bytes, the double quote and the backslash.
constexpr std::array<bool, 256> needsEscape = [] {
  std::array<bool, 256> table{};
  for (int b = 0; b < 0x20; ++b) table[b] = true;
  table['"'] = table['\\'] = true;
  return table;
}();

}  // namespace

std::string jsonEscape(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  size_t i = 0;
  while (i < text.size()) {
    // Runs of bytes that pass unchanged are copied whole.
    size_t start = i;
    while (i < text.size() && !needsEscape[static_cast<unsigned char>(text[i])]) ++i;
    out.append(text.data() + start, i - start);
    if (i == text.size()) break;
    auto b = static_cast<unsigned char>(text[i++]);
    switch (b) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += "\\u00";
        out += hex[b >> 4];
        out += hex[b & 0xF];
    }
  }
  return out;
}
