#include <string>

#include "platform/windows/objects.h"

namespace platform {

std::string toUtf8(const String& text) {
  if (text.empty()) return {};
  const std::wstring wide(text.begin(), text.end());
  const int wideLength = static_cast<int>(wide.size());
  int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, out.data(), length, nullptr, nullptr);
  return out;
}

}  // namespace platform
