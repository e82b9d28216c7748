#include <cstdio>
#include <cstdlib>

#include "host/bridge.h"

int main() {
  if (!startBridge()) return 1;
  commandLoop();
  // Platform threads may still be running tasks: end the process without tearing down
  // process-wide state under them. Every line has already been flushed.
  std::fflush(nullptr);
  std::_Exit(0);
}
