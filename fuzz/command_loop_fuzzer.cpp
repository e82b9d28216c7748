// The whole command loop, in process, on the simulated radio: each input is a host session
// (command lines) read from standard input to its end, then the loop disconnects. Tasks a session
// starts run on detached platform threads and may still be running while the next session begins,
// as they would in a bridge that keeps reading commands. Nothing is torn down between inputs.
//
// Every event line the bridge writes goes through a pipe to a checker thread (event_checks.h),
// which traps on anything but whole events that keep the protocols' promises. Once a
// session's input has ended, every command of protocol 2 with an id must get its final event
// within seconds.
//
// A line "*N rest" stands for N lines "rest" (N up to 400, the session up to 2 MiB), so that
// a short input can fill a connection's send window; not when completions come at once, where
// every store is complete before the next send.
//
// Process-wide objects (the world, the log, the connection state, coroutine frames parked in
// pending platform operations) stay alive on purpose, so leak checking is off for this target
// only (-detect_leaks=0). Log lines go to /dev/null (-close_fd_mask=2: libFuzzer keeps its own
// report stream), and the log file beside the executable is disabled.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "event_checks.h"
#include "host/bridge.h"
#include "host/log.h"
#include "host/report.h"

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
device 00:11:22:33:44:EE
  connect-delay-ms 0
  phone silent
  store-delay-ms 1000
)";

std::vector<char*> arguments;
bool repeats = true;  // "*N" lines are expanded

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// The session as the bridge is to read it, each "*N rest" line written out N times.
std::string expand(const uint8_t* data, size_t size) {
  constexpr size_t maxRepeat = 400, maxSession = 2u << 20;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string session;
  while (!input.empty()) {
    size_t end = input.find('\n');
    std::string_view line = input.substr(0, end == std::string_view::npos ? input.size() : end + 1);
    input.remove_prefix(line.size());
    size_t n = 1;
    if (repeats && line.starts_with('*')) {
      auto [rest, error] = std::from_chars(line.data() + 1, line.data() + line.size(), n);
      if (error == std::errc() && rest < line.data() + line.size() && *rest == ' ') {
        line.remove_prefix(static_cast<size_t>(rest + 1 - line.data()));
        n = std::min(n, maxRepeat);
      } else {
        n = 1;
      }
    }
    for (size_t i = 0; i < n && session.size() + line.size() <= maxSession; ++i) {
      session += line;
      // A repeated last line gets its own end.
      if (n > 1 && (line.empty() || line.back() != '\n')) session += '\n';
    }
  }
  return session;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // Defaults for this target, before the caller's own flags so that those win.
  static char noLeaks[] = "-detect_leaks=0";
  static char quiet[] = "-close_fd_mask=2";
  // A session that fills a send window takes a hundred times longer than most: picked as
  // often, it would leave little time for the rest.
  static char byTime[] = "-entropic_scale_per_exec_time=1";
  arguments.assign(*argv, *argv + *argc);
  arguments.insert(arguments.begin() + 1, {noLeaks, quiet, byTime});
  arguments.push_back(nullptr);
  *argc += 3;
  *argv = arguments.data();

  char path[] = "/tmp/quintel-fuzz-world-XXXXXX";
  // QUINTEL_FUZZ_COMPLETIONS picks where completions arrive (the world's `completions`):
  // inside the calls that start the operations, or on one shared thread.
  std::string world = worldText;
  const char* mode = std::getenv("QUINTEL_FUZZ_COMPLETIONS");
  if (mode && *mode) world = "completions " + std::string(mode) + "\n" + world;
  repeats = !mode || std::string_view(mode) != "at-once";
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
  event_checks::start(events[0]);

  std::ofstream& log = logFile();
  log.close();
  log.setstate(std::ios::badbit);
  if (!startBridge()) std::abort();
  unlink(path);  // read once, at start-up
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string session = expand(data, size);
  if (session.empty()) return 0;
  event_checks::expect(session, currentProtocol());
  // The session reaches the loop as the executable's does: through standard input, in blocks.
  int input[2];
  if (pipe2(input, O_CLOEXEC) != 0 || dup2(input[0], STDIN_FILENO) < 0) std::abort();
  close(input[0]);
  std::thread host([&session, fd = input[1]] {
    for (size_t done = 0; done < session.size();) {
      ssize_t n = write(fd, session.data() + done, session.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
    close(fd);
  });
  commandLoop();
  host.join();
  // No command of protocol 2 is left without its final event.
  check(event_checks::settle(std::chrono::seconds(20)));
  return 0;
}
