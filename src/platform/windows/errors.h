#pragma once
// The one translation of Windows failures into the seam's hresult_error.
#include <cstdint>

#include "platform/windows/objects.h"

namespace platform {

// The failure's code with the platform's message for it: the description from the restricted
// error details the failing call recorded, when they describe this very code, else the system
// message table's text for the code. Untrimmed: the core's error text trims it.
hresult_error platformError(const winrt::hresult_error& error);
// The same for a failure known only by its code (a cancelled operation, memory running out in
// a callback): the system message table's text.
hresult_error platformError(int32_t code);
// A Bluetooth error a result reports instead of failing (RfcommDeviceServicesResult.Error),
// as the failure it stands for: the system's code and message for it.
hresult_error bluetoothError(wdb::BluetoothError error);

// Runs one call into the projection, with its failures as hresult_error.
template <typename Call>
decltype(auto) winrtCall(Call&& call) {
  try {
    return call();
  } catch (const winrt::hresult_error& e) {
    throw platformError(e);
  }
}

// Runs one of the core's handlers inside a projected delegate. A delegate that fails may end the
// process: the event's source is to fail fast (RoFailFastWithErrorContext) on a failing handler.
// So the handler's platform error ends here, and the platform sees a handler that returned (a
// pairing request it did not accept is then rejected). Any other exception is a fault and ends
// the process, as in every task.
template <typename Handler>
void runCoreHandler(Handler&& handler) {
  try {
    handler();
  } catch (const hresult_error&) {
  }
}

}  // namespace platform
