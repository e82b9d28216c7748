#pragma once
// What every part of the stack double shares: the projection's namespaces, texts for the trace
// and the stand-in for members the bridge never calls.
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include <winrt/Windows.Foundation.h>

#include "platform/platform.h"
#include "trace.h"

namespace stack {

namespace wf = winrt::Windows::Foundation;
using platform::Ref;
using winrt::hstring;

inline std::string hex(int32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

// ASCII as it is, every other unit as \uXXXX: the trace stays one line of plain text.
inline std::string utf8(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
      out += escaped;
    }
  }
  return out;
}
inline std::u16string units(const hstring& text) {
  return std::u16string(text.begin(), text.end());
}
inline std::string quoted(const hstring& text) {
  return "\"" + utf8(units(text)) + "\"";
}
inline hstring toHstring(const std::u16string& text) {
  return hstring(std::wstring(text.begin(), text.end()));
}

// Makes one of the double's objects and hands it out as `Projected`, the trace saying what made
// it: "WHAT -> Class#serial".
template <typename Impl, typename Projected, typename... Args>
Projected traced(const std::string& what, Args&&... args) {
  auto made = winrt::make<Impl>(std::forward<Args>(args)...);
  trace(what + " -> " + winrt::get_self<Impl>(made)->name_);
  return made.template as<Projected>();
}

// Members of an interface the bridge never calls: they fail with E_NOTIMPL if anyone does.
struct Unused {
  template <typename T>
  operator T() const {
    throw winrt::hresult_not_implemented();
  }
};
#define UNUSED_MEMBER(name)           \
  template <typename... Args>         \
  Unused name(const Args&...) const { \
    trace("UNUSED " #name);           \
    return {};                        \
  }

}  // namespace stack
