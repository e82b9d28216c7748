#pragma once
// The backend's pure translations between BlueZ's values and the seam's: addresses, texts,
// D-Bus error names, pairing PINs and service UUIDs. No D-Bus here, so they are testable alone.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bluez {

// "00:AA:01:01:00:01" (upper case, as BlueZ writes Device1.Address) for the low 48 bits.
std::string addressText(uint64_t address);
// The value of an address written as six colon-separated hex pairs; nothing for anything else.
std::optional<uint64_t> parseAddress(std::string_view text);
// The Alias BlueZ makes up for a device without a name: the address with dashes.
std::string dashedAddress(std::string_view address);

// BlueZ's object path of the device with `address` under `adapter`:
// /org/bluez/hci0/dev_00_AA_01_01_00_01.
std::string devicePath(std::string_view adapter, uint64_t address);
// What a device's path says: its controller's number (hciN) and the device's address.
struct DevicePathParts {
  int controller;
  uint64_t address;
};
std::optional<DevicePathParts> parseDevicePath(std::string_view path);

// UTF-8 from D-Bus to the seam's UTF-16; a byte that is not part of a valid sequence becomes
// U+FFFD.
std::u16string toUtf16(std::string_view utf8);

// What one D-Bus error name means to the seam.
struct ErrorMeaning {
  int32_t code;           // the hresult_error code, stable per name
  uint32_t win32;         // the last error a failed device search leaves
  int32_t pairingStatus;  // DevicePairingResultStatus of a Pair that failed with it
};
ErrorMeaning errorMeaning(std::string_view name);
// The code of an errno from a socket call.
int32_t errnoCode(int error);

// DevicePairingResultStatus of a Pair that went through.
inline constexpr int32_t statusPaired = 0;

// The six digits a numeric comparison shows, zero-padded.
std::string passkeyText(uint32_t passkey);

inline constexpr std::string_view serialPortUuid = "00001101-0000-1000-8000-00805f9b34fb";
// True when a device's UUIDs list the Serial Port Profile (any letter case).
bool offersSerialPort(const std::vector<std::string>& uuids);

// Inquiry units of 1.28 s the classic search accepts, as the Win32 search does.
inline constexpr uint8_t maxInquiryUnits = 48;

}  // namespace bluez
