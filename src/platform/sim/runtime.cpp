#include "platform/sim/runtime.h"

#include <chrono>
#include <thread>

namespace sim {

namespace {
thread_local uint32_t lastErrorCode = 0;
}

void post(uint32_t delayMs, std::function<void()> work) {
  std::thread([delayMs, work = std::move(work)] {
    if (delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    work();
  }).detach();
}

void sleepMs(double ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

void setLastError(uint32_t code) { lastErrorCode = code; }

}  // namespace sim

namespace platform {
uint32_t lastError() { return sim::lastErrorCode; }
}  // namespace platform
