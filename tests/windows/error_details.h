#pragma once
// Restricted error details as a failing call leaves them on its thread, for the projection to
// find: the stack double leaves the world's text with each failure it raises; the backend's
// checks choose texts, a code, and whether the details answer at all. Counted by hand: the
// projection's implements<> takes no ABI-only interfaces.
#include <unknwn.h>
#include <windows.h>

#include <oleauto.h>

#include <atomic>
#include <optional>
#include <string>

#include <winrt/base.h>

struct ErrorDetails final : winrt::impl::IRestrictedErrorInfo, winrt::impl::IErrorInfo {
  std::optional<std::wstring> description;
  int32_t code;
  std::optional<std::wstring> restricted;
  bool answers = true;  // false: GetErrorDetails itself fails
  std::atomic<uint32_t> references{1};

  // A null text: that one is missing.
  ErrorDetails(const wchar_t* d, int32_t c, const wchar_t* r, bool a = true)
      : description(text(d)), code(c), restricted(text(r)), answers(a) {}

  int32_t __stdcall QueryInterface(const winrt::guid& id, void** object) noexcept override {
    if (id == winrt::guid_of<winrt::Windows::Foundation::IUnknown>() ||
        id == winrt::impl::guid_v<winrt::impl::IRestrictedErrorInfo>) {
      *object = static_cast<winrt::impl::IRestrictedErrorInfo*>(this);
    } else if (id == winrt::impl::guid_v<winrt::impl::IErrorInfo>) {
      *object = static_cast<winrt::impl::IErrorInfo*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  uint32_t __stdcall AddRef() noexcept override { return ++references; }
  uint32_t __stdcall Release() noexcept override {
    uint32_t left = --references;
    if (left == 0) delete this;
    return left;
  }
  int32_t __stdcall GetErrorDetails(wchar_t** d, int32_t* c, wchar_t** r,
                                    wchar_t** sid) noexcept override {
    *d = *r = *sid = nullptr;
    if (!answers) return E_FAIL;
    *d = copy(description);
    *c = code;
    *r = copy(restricted);
    return S_OK;
  }
  int32_t __stdcall GetReference(wchar_t** reference) noexcept override {
    *reference = nullptr;
    return S_OK;
  }
  int32_t __stdcall GetGUID(winrt::guid*) noexcept override { return E_NOTIMPL; }
  int32_t __stdcall GetSource(wchar_t**) noexcept override { return E_NOTIMPL; }
  int32_t __stdcall GetDescription(wchar_t** d) noexcept override {
    *d = copy(description);
    return description ? S_OK : E_NOTIMPL;
  }
  int32_t __stdcall GetHelpFile(wchar_t**) noexcept override { return E_NOTIMPL; }
  int32_t __stdcall GetHelpContext(uint32_t*) noexcept override { return E_NOTIMPL; }

 private:
  static std::optional<std::wstring> text(const wchar_t* t) {
    if (!t) return std::nullopt;
    return std::wstring(t);
  }
  static wchar_t* copy(const std::optional<std::wstring>& t) {
    return t ? SysAllocString(t->c_str()) : nullptr;
  }
};

// The projection's error for a failing call that left `details` on the thread; takes them over.
inline winrt::hresult_error failureWithDetails(int32_t code, ErrorDetails* details) {
  SetErrorInfo(0, reinterpret_cast<::IErrorInfo*>(static_cast<winrt::impl::IErrorInfo*>(details)));
  details->Release();
  return winrt::hresult_error(code, winrt::take_ownership_from_abi);
}
