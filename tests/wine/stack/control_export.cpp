// The double's own checks change the world with the control channel's lines, without a channel.
#include <windows.h>

#include "platform/sim/control.h"
#include "trace.h"

extern "C" BOOL __stdcall QuintelStackControl(const char* line) {
  std::string answer = sim::applyControlLine(line);
  stack::trace(std::string("control ") + line + " -> " + answer);
  return answer == "ok";
}
