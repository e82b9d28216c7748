// Classic inquiry: a search of the remembered devices to learn which are paired, then a
// search that asks the air. Every record of the second search becomes one device event.
#include "discovery/inquiry.h"

#include <cmath>
#include <cstdio>
#include <set>

#include "discovery/scan.h"
#include "host/log.h"
#include "platform/platform.h"

namespace {

// Addresses the remembered-devices search reports as authenticated.
std::set<uint64_t> findPairedAddresses() {
  std::set<uint64_t> pairedAddresses;
  platform::DeviceSearchParams params{.returnAuthenticated = 1, .returnRemembered = 1};
  platform::DeviceSearchInfo info;
  platform::DeviceSearch* search = platform::findFirstDevice(params, info);
  if (!search) return pairedAddresses;
  do {
    if (info.authenticated != 0) pairedAddresses.insert(info.address);
  } while (platform::findNextDevice(search, info));
  platform::findDeviceClose(search);
  return pairedAddresses;
}

void reportDevice(Operation& scan, const platform::DeviceSearchInfo& info,
                  const std::set<uint64_t>& paired) {
  std::string address = formatAddress(info.address);
  // The name ends at its zero, whatever the platform left after it.
  std::string name = platform::toUtf8(info.name.substr(0, info.name.find(u'\0')));
  if (name.empty()) name = address;
  bool isPaired = info.authenticated == 1 || paired.count(info.address) > 0;

  logLine("[scan] эфир: " + name + " (" + address + ")" + (isPaired ? ", сопряжён" : ""));
  // A scan the adapter ended reports nothing more.
  if (scan.emit(
          {.kind = Kind::device, .id = scan.id, .addr = address, .text = name, .yes = isPaired}))
    scanDeviceCount.fetch_add(1);
}

}  // namespace

uint8_t inquiryMultiplier(int32_t seconds) {
  double units = std::trunc((seconds > 0 ? seconds : 8) / 1.28);
  if (units < 1) return 1;
  if (units > 8) return 8;
  return static_cast<uint8_t>(units);
}

std::string formatAddress(uint64_t address) {
  auto byte = [address](int i) { return static_cast<unsigned>(address >> (8 * i) & 0xFF); };
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", byte(5), byte(4), byte(3),
                byte(2), byte(1), byte(0));
  return text;
}

void classicInquiry(int32_t seconds, Operation& scan) {
  std::set<uint64_t> pairedAddresses = findPairedAddresses();
  uint8_t multiplier = inquiryMultiplier(seconds);
  logLine("[scan] уже сопряжено устройств: " + std::to_string(pairedAddresses.size()));
  logLine("[scan] опрашиваю эфир классическим API, " + std::to_string(multiplier) + " x 1.28 с");

  platform::DeviceSearchParams params{.returnAuthenticated = 1,
                                      .returnRemembered = 1,
                                      .returnUnknown = 1,
                                      .returnConnected = 1,
                                      .issueInquiry = 1,
                                      .timeoutMultiplier = multiplier};
  platform::DeviceSearchInfo info;
  // Returns only once the inquiry has run its course.
  platform::DeviceSearch* search = platform::findFirstDevice(params, info);
  if (!search) {
    uint32_t code = platform::lastError();
    if (code == platform::errorNoMoreItems)
      logLine("[scan] эфир пуст");
    else
      logLine("[scan] инквайри не запустился, код " + std::to_string(code));
    return;
  }
  // Every record is reported, duplicates included: the host decides what a repeat means.
  do {
    reportDevice(scan, info, pairedAddresses);
  } while (platform::findNextDevice(search, info));
  platform::findDeviceClose(search);
}
