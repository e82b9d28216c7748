// The whole command loop, in process, on the simulated radio: each input is a host session
// (command lines) read to its end, then the loop disconnects. Tasks a session starts run on
// detached platform threads and may still be running while the next session begins, as they
// would in a bridge that keeps reading commands. Nothing is torn down between inputs.
//
// Process-wide objects (the world, the log, the connection state, coroutine frames parked in
// pending platform operations) stay alive on purpose, so leak checking is off for this target
// only (-detect_leaks=0). Events and log lines go to /dev/null (-close_fd_mask=3: libFuzzer
// keeps its own report stream), and the log file beside the executable is disabled.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/bridge.h"
#include "host/log.h"

namespace {

// Fast devices, one per outcome the connection and pairing paths can reach.
constexpr char worldText[] = R"(inquiry-unit-ms 0
watcher-added-delay-ms 0
device A4:50:46:12:34:56
  name "Robot \"Phone\" \\ \uD800"
  pairing pin
  pin "48\n29\x01"
  pair-delay-ms 0
  connect-delay-ms 0
  watcher yes
  phone echo
device 00:11:22:33:44:55
  name ""
  pairing confirm
  pair-status 19
  pair-delay-ms 1
  services-cached 0
  services-uncached 0
device 00:11:22:33:44:66
  paired yes
  heard 2
  services-cached 0
  services-uncached 2
  connect refuse 0x8007274D
device 00:11:22:33:44:77
  pairing 4
  accept-error 0x80004005
  pair-delay-ms 0
  connect-delay-ms 0
  phone-burst 10000
  phone-close
  store-error 0x80072745 after-bytes 100
device 00:11:22:33:44:88
  lookup unknown
device 00:11:22:33:44:99
  lookup error 0x80070490
device 00:11:22:33:44:AA
  pair-error 0x800704C7
  connect-delay-ms 0
  drop-after-bytes 50
  phone silent
device 00:11:22:33:44:BB
  record error 0x80070005
  from-id error 0x8007001F
device 00:11:22:33:44:CC
  lookup no-record
  output-stream-error 0x80004005
device 00:11:22:33:44:DD
  connect-delay-ms 0
  phone-send "hello"
  phone-wait 1
  phone-drop
)";

std::vector<char*> arguments;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // Defaults for this target, before the caller's own flags so that those win.
  static char noLeaks[] = "-detect_leaks=0";
  static char quiet[] = "-close_fd_mask=3";
  arguments.assign(*argv, *argv + *argc);
  arguments.insert(arguments.begin() + 1, {noLeaks, quiet});
  arguments.push_back(nullptr);
  *argc += 2;
  *argv = arguments.data();

  char path[] = "/tmp/quintel-fuzz-world-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0 || write(fd, worldText, sizeof worldText - 1) != sizeof worldText - 1) std::abort();
  close(fd);
  setenv("QUINTEL_BT_WORLD", path, 1);

  // The bridge ends with _Exit so that platform threads never see process-wide objects
  // destroyed under them; libFuzzer ends a finished run with exit(0), whose static
  // destructors would do just that. (Its exits on a finding use _Exit and keep their status.)
  std::atexit([] { std::_Exit(0); });

  std::ofstream& log = logFile();
  log.close();
  log.setstate(std::ios::badbit);
  if (!startBridge()) std::abort();
  unlink(path);  // read once, at start-up
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<char> session(data, data + size);
  std::FILE* input = fmemopen(session.data(), session.size(), "r");
  if (!input) std::abort();
  commandLoop(input);
  std::fclose(input);
  return 0;
}
