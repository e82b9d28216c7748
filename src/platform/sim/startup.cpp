// Process start-up on the simulated radio: the stand-in for the COM apartment (the adapter is
// adapter.cpp).
// The standard streams and the executable's directory are src/platform/posix's.
#include "platform/platform.h"
#include "platform/sim/runtime.h"

namespace platform {

// Hosts written against the simulated radio already see "windows" here.
const char* backendName() {
  return "windows";
}

const char* backendKind() {
  return "sim";
}

// No apartment to join; the world is read here so that a broken world fails before start.
bool joinMultithreadedApartment() {
  sim::world();
  return true;
}

}  // namespace platform
