#include "host/error_text.h"

#include <cstdio>

std::string errorText(const hresult_error& error) {
  std::u16string message = error.message;
  while (!message.empty()) {
    char16_t c = message.back();
    if (c != u' ' && (c < u'\t' || c > u'\r')) break;
    message.pop_back();
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X",
                static_cast<unsigned>(static_cast<uint32_t>(error.code)));
  std::string text = toUtf8(message);
  text += " (";
  text += code;
  text += ')';
  return text;
}
