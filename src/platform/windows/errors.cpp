#include "platform/windows/errors.h"

#include <oleauto.h>

namespace platform {

namespace {

// Owns a BSTR that GetErrorDetails hands out.
struct Bstr {
  BSTR value = nullptr;
  Bstr() = default;
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(value); }
  bool empty() const { return SysStringLen(value) == 0; }
  String text() const { return String(value, value + SysStringLen(value)); }
};

// The system message table's text for the code, inserts left as they are, in the neutral
// language; empty when the system has none.
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

// The one translation; `details` may be null.
hresult_error translate(int32_t code, winrt::impl::IRestrictedErrorInfo* details) {
  if (details) {
    Bstr description, restricted, capabilitySid;
    int32_t detailsCode = 0;
    if (details->GetErrorDetails(&description.value, &detailsCode, &restricted.value,
                                 &capabilitySid.value) == S_OK &&
        detailsCode == code) {
      return {code, restricted.empty() ? description.text() : restricted.text()};
    }
  }
  return {code, systemMessage(code)};
}

}  // namespace

hresult_error platformError(const winrt::hresult_error& error) {
  // The projection keeps the restricted error details that the failing call recorded.
  return translate(error.code(), error.try_as<winrt::impl::IRestrictedErrorInfo>().get());
}

hresult_error platformError(int32_t code) {
  return translate(code, nullptr);
}

hresult_error bluetoothError(wdb::BluetoothError error) {
  DWORD code = ERROR_GEN_FAILURE;
  switch (error) {
    case wdb::BluetoothError::RadioNotAvailable:
      code = ERROR_NOT_READY;
      break;
    case wdb::BluetoothError::ResourceInUse:
      code = ERROR_BUSY;
      break;
    case wdb::BluetoothError::DeviceNotConnected:
      code = ERROR_DEVICE_NOT_CONNECTED;
      break;
    case wdb::BluetoothError::DisabledByPolicy:
      code = ERROR_ACCESS_DISABLED_BY_POLICY;
      break;
    case wdb::BluetoothError::DisabledByUser:
    case wdb::BluetoothError::ConsentRequired:
      code = ERROR_ACCESS_DENIED;
      break;
    case wdb::BluetoothError::NotSupported:
    case wdb::BluetoothError::TransportNotSupported:
      code = ERROR_NOT_SUPPORTED;
      break;
    default:
      break;
  }
  return platformError(static_cast<int32_t>(HRESULT_FROM_WIN32(code)));
}

}  // namespace platform
