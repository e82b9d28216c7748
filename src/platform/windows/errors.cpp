#include "platform/windows/errors.h"

#include <oleauto.h>

#include <string>

namespace platform {

namespace {

// Owns a BSTR handed out by GetErrorDetails.
struct Bstr {
  BSTR value = nullptr;
  ~Bstr() { SysFreeString(value); }
  String text() const {
    if (!value) return {};
    return String(value, value + SysStringLen(value));
  }
};

String systemMessage(int32_t code) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  String text;
  if (length != 0 && buffer) text.assign(buffer, buffer + length);
  if (buffer) LocalFree(buffer);
  return text;
}

}  // namespace

hresult_error platformError(int32_t code) {
  return {code, systemMessage(code)};
}

hresult_error platformError(const winrt::hresult_error& error) {
  const int32_t code = error.code();
  // The projection keeps the restricted error info the failing call recorded, if any.
  if (auto details = error.try_as<winrt::impl::IRestrictedErrorInfo>()) {
    Bstr description, restricted, capabilitySid;
    int32_t detailsCode = 0;
    if (details->GetErrorDetails(&description.value, &detailsCode, &restricted.value,
                                 &capabilitySid.value) == S_OK &&
        detailsCode == code) {
      String text = restricted.text();
      return {code, text.empty() ? description.text() : std::move(text)};
    }
  }
  return platformError(code);
}

}  // namespace platform
