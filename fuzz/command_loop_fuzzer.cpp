// The whole command loop, in process, on the simulated radio: each input is a host session
// (command lines) read to its end, then the loop disconnects. Tasks a session starts run on
// detached platform threads and may still be running while the next session begins, as they
// would in a bridge that keeps reading commands. Nothing is torn down between inputs.
//
// Every event line the bridge writes goes through a pipe to a checker thread, which traps on
// a line that is not one whole event: a flat JSON object without blanks, "t" first and of a
// known kind, only strict strings, true and false as values, base64 in data events, CR LF at
// its end.
//
// Process-wide objects (the world, the log, the connection state, coroutine frames parked in
// pending platform operations) stay alive on purpose, so leak checking is off for this target
// only (-detect_leaks=0). Log lines go to /dev/null (-close_fd_mask=2: libFuzzer keeps its own
// report stream), and the log file beside the executable is disabled.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/bridge.h"
#include "host/log.h"
#include "support/strict_json.h"

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

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void checkEvent(std::string_view line) {
  static const std::set<std::string_view> kinds = {"ready",        "device",      "scan-done",
                                                   "pairing-code", "pair-result", "connected",
                                                   "data",         "error",       "closed"};
  // Keys, kinds and base64 are compared as written: an escape in any of them is a fault too.
  auto fields = strict_json::flatObject(line);
  check(fields && !fields->empty());
  const auto& kind = fields->front();
  check(kind.key == "t" && kind.quoted && kinds.count(kind.value) == 1);
  for (const auto& field : *fields) {
    check(field.quoted || field.value != "null");
    if (field.key == "b64") {
      check(field.quoted && field.value.size() % 4 == 0);
      for (char c : field.value)
        check(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=');
    }
  }
}

// Reads the bridge's standard output for as long as the process lives.
void checkEvents(int fd) {
  std::string pending;
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      check(n < 0 && errno == EINTR);
      continue;
    }
    pending.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      check(end > start && pending[end - 1] == '\r');
      std::string_view line(pending.data() + start, end - 1 - start);
      check(line.find_first_of("\r\n") == std::string_view::npos);
      checkEvent(line);
    }
    pending.erase(0, start);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // Defaults for this target, before the caller's own flags so that those win.
  static char noLeaks[] = "-detect_leaks=0";
  static char quiet[] = "-close_fd_mask=2";
  arguments.assign(*argv, *argv + *argc);
  arguments.insert(arguments.begin() + 1, {noLeaks, quiet});
  arguments.push_back(nullptr);
  *argc += 2;
  *argv = arguments.data();

  char path[] = "/tmp/quintel-fuzz-world-XXXXXX";
  // QUINTEL_FUZZ_COMPLETIONS picks where completions arrive (the world's `completions`):
  // inside the calls that start the operations, or on one shared thread.
  std::string world = worldText;
  const char* mode = std::getenv("QUINTEL_FUZZ_COMPLETIONS");
  if (mode && *mode) world = "completions " + std::string(mode) + "\n" + world;
  int fd = mkstemp(path);
  if (fd < 0 || write(fd, world.data(), world.size()) != static_cast<ssize_t>(world.size()))
    std::abort();
  close(fd);
  setenv("QUINTEL_BT_WORLD", path, 1);

  // The bridge ends with _Exit so that platform threads never see process-wide objects
  // destroyed under them; libFuzzer ends a finished run with exit(0), whose static
  // destructors would do just that. (Its exits on a finding use _Exit and keep their status.)
  std::atexit([] { std::_Exit(0); });

  int events[2];
  if (pipe2(events, O_CLOEXEC) != 0 || dup2(events[1], 1) < 0) std::abort();
  close(events[1]);
  std::thread(checkEvents, events[0]).detach();

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
