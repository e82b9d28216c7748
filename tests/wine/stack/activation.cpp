// The Windows Runtime half of the stack double: every class and interface the bridge's Windows
// backend touches, answering from the simulated world (src/platform/sim, the model that
// quintel-bt-sim runs on), strict where Windows is strict, recording each call (trace.h).
// Registered with wine's combase by class name (tests/wine/launch-with-stack.sh).
#include <winstring.h>

#include "classes.h"

namespace {

int32_t hand(stack::wf::IActivationFactory made, void** factory) {
  *factory = winrt::detach_abi(made);
  return S_OK;
}

}  // namespace

// The entry point wine's combase calls for each class registered to this library.
extern "C" HRESULT __stdcall DllGetActivationFactory(HSTRING classId, void** factory) noexcept {
  using namespace stack;
  if (!factory) return E_POINTER;
  *factory = nullptr;
  try {
    UINT32 length = 0;
    const wchar_t* raw = WindowsGetStringRawBuffer(classId, &length);
    std::wstring name(raw, length);
    trace("activate " + utf8(std::u16string(name.begin(), name.end())));
    if (name == L"Windows.Devices.Bluetooth.BluetoothAdapter")
      return hand(adapterFactory(), factory);
    if (name == L"Windows.Devices.Bluetooth.BluetoothDevice") return hand(deviceFactory(), factory);
    if (name == L"Windows.Devices.Enumeration.DeviceInformation")
      return hand(deviceInformationFactory(), factory);
    if (name == L"Windows.Devices.Bluetooth.Rfcomm.RfcommServiceId")
      return hand(serviceIdFactory(), factory);
    if (name == L"Windows.Networking.HostName") return hand(hostNameFactory(), factory);
    if (name == L"Windows.Networking.Sockets.StreamSocket")
      return hand(streamSocketFactory(), factory);
    if (name == L"Windows.Storage.Streams.DataReader") return hand(dataReaderFactory(), factory);
    if (name == L"Windows.Storage.Streams.DataWriter") return hand(dataWriterFactory(), factory);
    return CLASS_E_CLASSNOTAVAILABLE;
  } catch (...) {
    return winrt::to_hresult();
  }
}

extern "C" HRESULT __stdcall DllCanUnloadNow() noexcept {
  return S_FALSE;
}
