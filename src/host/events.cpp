#include "host/events.h"

#include <cstdio>

std::mutex outputLock;

void emitEvent(std::string_view text) {
  static constexpr char lineEnd[] = "\r\n";
  std::lock_guard lock(outputLock);
  if (std::ferror(stdout)) return;
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fwrite(lineEnd, 1, 2, stdout);
  std::fflush(stdout);
}

std::string jsonEscape(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    switch (b) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (b < 0x20) {
          out += "\\u00";
          out += hex[b >> 4];
          out += hex[b & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out;
}
