#pragma once
#include <cstdint>
#include <string>

#include "host/inflight.h"

// The classic inquiry of one scan: logs and emits a device event for every device the
// inquiry search returns, counting each in scanDeviceCount, until the scan is answered. Blocks the
// scan thread until the inquiry is over.
void classicInquiry(int32_t seconds, Operation& scan);

// Inquiry units of 1.28 s for a scan length: 1 to 8; 0 or less counts as 8 seconds.
uint8_t inquiryMultiplier(int32_t seconds);

// "%02X:%02X:%02X:%02X:%02X:%02X" of address bytes 5 down to 0.
std::string formatAddress(uint64_t address);
