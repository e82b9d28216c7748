#include "host/bridge.h"

int main() {
  if (!startBridge()) return 1;
  commandLoop();
  endBridge();
}
