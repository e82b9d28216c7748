#pragma once
// What the kernel knows of a controller and its links, asked through an HCI socket without
// privilege. BlueZ's bus API says it later or not at all: a link's end reaches the socket before
// bluetoothd reports anything, and no reason for it ever reaches the bus.
#include <cstdint>

namespace bluez {

// Whether controller hci`controller` has a live ACL link to `address`; true when it cannot be
// told.
bool aclUp(int controller, uint64_t address);

// Whether controller hci`controller` is up and answering pages. One powering down stops
// answering before it ends its links; one that is gone answers nothing.
bool controllerServing(int controller);

}  // namespace bluez
