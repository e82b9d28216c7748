// Address text to platform device id, remembered in knownDeviceIds.
#include "host/error_text.h"
#include "host/log.h"
#include "pairing/known_devices.h"
#include "pairing/pairing.h"

uint64_t parseBluetoothAddress(std::string_view text) {
  uint64_t value = 0;
  for (char c : text) {
    uint64_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint64_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint64_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint64_t>(c - 'a' + 10);
    } else {
      continue;
    }
    value = (value << 4) | digit;
  }
  return value;
}

platform::Task<platform::String> resolveDevice(std::string addr) {
  if (auto known = lookupKnownDeviceId(addr)) co_return std::move(*known);
  try {
    auto device = co_await platform::bluetoothDeviceFromAddressAsync(parseBluetoothAddress(addr));
    // A device the stack hands over without its record is one we cannot open later either.
    auto info = device ? platform::bluetoothDeviceInformation(device) : nullptr;
    if (!info) {
      logLine("[resolve] Windows не знает устройства " + addr);
      co_return platform::String();
    }
    platform::String id = platform::deviceInformationId(info);
    // Stored before the line and before completing: a resumed caller finds the table updated.
    storeKnownDeviceId(addr, id);
    logLine("[resolve] устройство " + addr + " опознано по адресу");
    co_return id;
  } catch (const hresult_error& error) {
    logLine("[resolve] не удалось опознать " + addr + ": " + errorText(error));
  }
  co_return platform::String();
}
