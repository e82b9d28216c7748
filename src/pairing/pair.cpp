// Device resolution and pairing. (Filled in with pairing.)
#include "pairing/pairing.h"

platform::Task<platform::String> resolveDevice(std::string) { co_return platform::String(); }

platform::fire_and_forget doPair(std::string) { co_return; }
