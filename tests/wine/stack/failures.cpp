#include "failures.h"

#include <unknwn.h>
#include <windows.h>

#include <oleauto.h>

#include <atomic>
#include <cstdlib>

#include <winrt/Windows.Foundation.h>

#include "common.h"
#include "platform/sim/world.h"

namespace stack {

namespace {

// The error details a failing call leaves on its thread, so the caller's projection finds the
// world's message text for the code.
struct ErrorDetails final : winrt::impl::IRestrictedErrorInfo, winrt::impl::IErrorInfo {
  int32_t code;
  std::wstring text;
  std::atomic<uint32_t> references{1};

  ErrorDetails(int32_t c, std::wstring t) : code(c), text(std::move(t)) {}

  int32_t __stdcall QueryInterface(const winrt::guid& id, void** object) noexcept override {
    if (id == winrt::guid_of<wf::IUnknown>() ||
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
  int32_t __stdcall GetErrorDetails(wchar_t** description, int32_t* c, wchar_t** restricted,
                                    wchar_t** sid) noexcept override {
    *description = SysAllocString(text.c_str());
    *c = code;
    *restricted = SysAllocString(text.c_str());
    *sid = nullptr;
    return S_OK;
  }
  int32_t __stdcall GetReference(wchar_t** reference) noexcept override {
    *reference = nullptr;
    return S_OK;
  }
  int32_t __stdcall GetGUID(winrt::guid*) noexcept override { return E_NOTIMPL; }
  int32_t __stdcall GetSource(wchar_t**) noexcept override { return E_NOTIMPL; }
  int32_t __stdcall GetDescription(wchar_t** description) noexcept override {
    *description = SysAllocString(text.c_str());
    return S_OK;
  }
  int32_t __stdcall GetHelpFile(wchar_t**) noexcept override { return E_NOTIMPL; }
  int32_t __stdcall GetHelpContext(uint32_t*) noexcept override { return E_NOTIMPL; }
};

}  // namespace

void raise(int32_t code, const std::u16string& message) {
  auto* details = new ErrorDetails(code, std::wstring(message.begin(), message.end()));
  SetErrorInfo(0, reinterpret_cast<::IErrorInfo*>(static_cast<winrt::impl::IErrorInfo*>(details)));
  details->Release();
  throw winrt::hresult_error(code, winrt::take_ownership_from_abi);
}

void raise(const platform::hresult_error& error) {
  raise(error.code, error.message);
}

void raise(int32_t code) {
  raise(sim::world().error(code));
}

void refuse(const std::string& call, int32_t code, const std::string& why) {
  trace("REFUSED " + call + " " + hex(code) + " (" + why + ")");
  raise(code);
}

void failFast(const std::string& handler, int32_t code) {
  trace("REFUSED " + handler + " handler failed " + hex(code) +
        " (a failing delegate ends the process)");
  TerminateProcess(GetCurrentProcess(), failFastStatus);
  std::abort();
}

}  // namespace stack
