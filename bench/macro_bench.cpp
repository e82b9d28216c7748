// The end-to-end benchmark: the real executable on a world with a live phone, measured side
// by side with a plain relay over the same kind of socket and pipes. Prints one table and
// writes the same figures as JSON. Measures only: the exit status says whether every byte
// arrived intact, never whether a figure was reached.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"
#include "figures.h"
#include "phases.h"
#include "protocol2.h"
#include "relay.h"
#include "report.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

constexpr const char* address = "A4:50:46:12:34:56";
constexpr size_t laneCount = 4;

struct Options {
  std::string bridge = BRIDGE_EXE;
  std::string json;
  std::string microSummary;
  std::string baseline;
  int startupRuns = 50;
  uint64_t streamBytes = 64ull << 20;
  int latencyRounds = 10000;
  int rounds = 3;  // bridge and relay take turns this many times in each phase
  uint64_t events = 1000000;
  double pacedSeconds = 2;
  bool allowNoPhone = false;  // a bridge that cannot connect yet is a note, not a failure
  std::string only;           // comma-separated phases; empty: all
  bool keep = false;          // leave the scratch directory (for a profiler's symbols)
  bool wants(const char* phase) const {
    if (only.empty()) return true;
    return ("," + only + ",").find(std::string(",") + phase + ",") != std::string::npos;
  }
};

void usage() {
  std::fprintf(
      stderr,
      "usage: macro_bench [--json PATH] [--micro-summary PATH] [--baseline PATH]\n"
      "                   [--quick] [--bridge EXE] [--startup-runs N] [--mb N]\n"
      "                   [--latency-rounds N] [--events N] [--paced-seconds S] [--rounds N]\n"
      "                   [--allow-no-phone] [--keep]\n"
      "                   [--only startup,up,down3k,down64,paced,latency,p2send,p2data,\n"
      "                           events,p2lanes,p2flood]\n");
}

bool parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--json")
      o.json = value();
    else if (a == "--micro-summary")
      o.microSummary = value();
    else if (a == "--baseline")
      o.baseline = value();
    else if (a == "--bridge")
      o.bridge = value();
    else if (a == "--startup-runs")
      o.startupRuns = std::stoi(value());
    else if (a == "--mb")
      o.streamBytes = std::stoull(value()) << 20;
    else if (a == "--latency-rounds")
      o.latencyRounds = std::stoi(value());
    else if (a == "--events")
      o.events = std::stoull(value());
    else if (a == "--paced-seconds")
      o.pacedSeconds = std::stod(value());
    else if (a == "--rounds")
      o.rounds = std::stoi(value());
    else if (a == "--keep")
      o.keep = true;
    else if (a == "--only")
      o.only = value();
    else if (a == "--allow-no-phone")
      o.allowNoPhone = true;
    else if (a == "--quick") {
      o.startupRuns = 5;
      o.streamBytes = 4ull << 20;
      o.latencyRounds = 500;
      o.events = 20000;
      o.pacedSeconds = 0.3;
      o.rounds = 1;
    } else {
      usage();
      return false;
    }
  }
  return true;
}

// A scratch directory with our own copy of the executable, so its log file sits there. Two
// worlds: one live phone, and four of them for the links at once.
struct Workspace {
  fs::path dir, exe, world, socket;
  fs::path world4;
  std::vector<fs::path> laneSockets;
  std::vector<std::string> laneAddrs;
  bool keep = false;
  Workspace(const std::string& bridge, bool keep_) : keep(keep_) {
    char name[] = "/tmp/quintel-bench-XXXXXX";
    if (!::mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
    dir = name;
    exe = dir / fs::path(bridge).filename();
    fs::copy_file(bridge, exe);
    socket = dir / "phone.sock";
    world = dir / "world.txt";
    std::ofstream(world) << "adapter present\ndevice " << address
                         << "\n  services-cached 1\n  phone live " << socket.string() << "\n";
    world4 = dir / "world4.txt";
    std::ofstream four(world4);
    four << "adapter present\n";
    for (size_t k = 0; k < laneCount; ++k) {
      laneAddrs.push_back("A4:50:46:12:34:5" + std::to_string(6 + k));
      laneSockets.push_back(dir / ("phone" + std::to_string(k) + ".sock"));
      four << "device " << laneAddrs[k] << "\n  services-cached 1\n  phone live "
           << laneSockets[k].string() << "\n";
    }
  }
  ~Workspace() {
    if (keep) {
      std::printf("scratch directory kept: %s\n", dir.c_str());
      return;
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

Child startBridge(const Workspace& ws, const fs::path& world = {}) {
  return spawnChild({ws.exe.string()},
                    {"QUINTEL_BT_WORLD=" + (world.empty() ? ws.world : world).string()});
}

// The one-minute load average: other work on the machine disturbs every wall-clock figure.
double loadAverage() {
  double load = none;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

// Process start to the ready event, over many runs.
void measureStartup(const Workspace& ws, int runs, Report& report, Failures& failures) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    double t0 = now();
    Child child = startBridge(ws);
    LineInput lines(child.out);
    std::string_view line;
    bool ready = lines.next(line, 10000);
    double t1 = now();
    if (!ready || line != R"({"t":"ready","backend":"windows"})") {
      failures.add("start-up", ready ? "first event was " + std::string(line) : "no ready event");
      finishChild(child);
      return;
    }
    ms.push_back((t1 - t0) * 1e3);
    if (int status = finishChild(child); status != 0)
      failures.add("start-up", "exit status " + std::to_string(status) + " at end of input");
  }
  std::sort(ms.begin(), ms.end());
  Figure f{"start-up to ready, median", "ms", median(ms)};
  f.target = "< 20 ms";
  f.meets = below(f.value, 20);
  char note[128];
  std::snprintf(note, sizeof note, "%zu runs: min %.2f, p90 %.2f, max %.2f ms", ms.size(),
                ms.front(), ms[ms.size() * 9 / 10], ms.back());
  f.note = note;
  report.add(f);
}

// Connects the bridge to the phone at `addr`: our end of the phone's socket, or -1 and `why`.
int connectPhone(Peer& bridge, Listener& listener, const std::string& addr, Report& report,
                 std::string& why) {
  std::string line = R"({"t":"connect","addr":")" + addr + "\"}\n";
  writeAll(bridge.child.in, line.data(), line.size());
  int phone = listener.accept(10000);
  std::string_view event;
  bool connected = false;
  double deadline = now() + 10;
  while (!connected && bridge.lines.next(event, static_cast<int>((deadline - now()) * 1000))) {
    connected = event.starts_with(R"({"t":"connected",)");
    if (!connected) report.note("while connecting the bridge emitted " + std::string(event));
  }
  if (connected && phone >= 0) return phone;
  if (phone >= 0) ::close(phone);
  why = connected ? "the phone never reached the socket" : "no connected event within 10 s";
  return -1;
}

// The bridge, connected to its live phone; `peer.phone` stays -1 when that fails.
bool connectBridge(Peer& peer, Listener& listener, Report& report, std::string& why) {
  peer.addr = address;
  peer.phone = connectPhone(peer, listener, address, report, why);
  return peer.phone >= 0;
}

// The phone hangs up: the host must hear of it, in the protocol the bridge speaks.
void hangUp(Peer& peer, Failures& failures) {
  ::close(peer.phone);
  peer.phone = -1;
  const std::string expected =
      peer.protocol == 1 ? R"({"t":"closed","reason":"соединение закрыто"})"
                         : R"({"t":"closed","addr":")" + peer.addr +
                               R"(","code":"PHONE_CLOSED","reason":"соединение закрыто"})";
  std::string_view event;
  bool closed = false;
  while (!closed && peer.lines.next(event, 10000)) closed = event == expected;
  if (!closed) failures.add("close", "no closed event after the phone hung up");
  if (int status = finishChild(peer.child); status != 0)
    failures.add("bridge", "exit status " + std::to_string(status) + " at end of input");
}

// Protocol 2 against protocol 1 on the same bridge, link and phone, in turns: a hello
// switches before each turn.
void measureProtocols(Peer& bridge, const Options& opt, int rounds, Report& report,
                      Failures& failures) {
  auto speaking = [&bridge](int protocol, std::function<Stream(Peer&)> measure) -> Run {
    return [&bridge, protocol, measure]() -> std::optional<Stream> {
      if (bridge.phone < 0) return std::nullopt;
      Stream s;
      s.ran = true;
      if (!sayHello(bridge, protocol, s.error)) return s;
      return measure(bridge);
    };
  };
  auto compare = [&](const std::string& name, std::function<Stream(Peer&)> measure) {
    Paired run = takeTurns(rounds, speaking(2, measure), speaking(1, measure));
    run.bridgeName = "protocol 2";
    run.relayName = "protocol 1";
    addStreamFigures(report, failures, name, run, 0.95);
    addCpuFigures(report, name, run, false);
  };
  if (opt.wants("p2send")) {
    const uint64_t n = opt.streamBytes / rounds / 3072 * 3072;
    compare("protocol 2 / 1, host->phone, 3 KB sends acknowledged",
            [n](Peer& p) { return hostToPhone(p, n, 3072); });
  }
  if (opt.wants("p2data")) {
    const uint64_t n = opt.streamBytes / rounds;
    compare("protocol 2 / 1, phone->host, data events",
            [n](Peer& p) { return phoneToHost(p, n, 1 << 16); });
  }
  std::string error;
  if (bridge.protocol != 1 && !sayHello(bridge, 1, error)) failures.add("hello", error);
}

// Four phones, each connected through one bridge in protocol 2 and each through a relay of
// its own, moving bytes both ways at once; the bridge and the four relays in turns.
void measureLanes(const Workspace& ws, const Options& opt, int rounds, Report& report,
                  Failures& failures) {
  std::vector<std::unique_ptr<Listener>> listeners;
  for (const auto& path : ws.laneSockets) listeners.push_back(std::make_unique<Listener>(path));
  Peer bridge;
  bridge.child = startBridge(ws, ws.world4);
  bridge.lines = LineInput(bridge.child.out);
  std::vector<Lane> lanes(laneCount), relays(laneCount);
  std::string_view ready;
  std::string why;
  bool up = bridge.lines.next(ready, 10000) && sayHello(bridge, 2, why);
  for (size_t k = 0; up && k < laneCount; ++k) {
    lanes[k] = {
        ws.laneAddrs[k], connectPhone(bridge, *listeners[k], ws.laneAddrs[k], report, why), {}};
    up = lanes[k].phone >= 0;
  }
  if (!up) failures.add("links at once", why.empty() ? "no ready event" : why);
  bool relaysUp = true;
  for (size_t k = 0; k < laneCount; ++k) {
    relays[k].relay = spawnChild({"/proc/self/exe", "--relay", ws.laneSockets[k].string()});
    relays[k].phone = listeners[k]->accept(10000);
    relaysUp = relaysUp && relays[k].phone >= 0;
  }
  if (!relaysUp) failures.add("links at once", "a relay never reached its socket");

  const uint64_t eachWay = opt.streamBytes / laneCount / rounds / 3072 * 3072;
  std::printf("%zu links at once: %.1f MB each way on each, in %d rounds\n", laneCount,
              eachWay / 1048576.0, rounds);
  std::fflush(stdout);
  std::vector<double> bridgeSlowest, relaySlowest;
  auto slowest = [](std::vector<double>& into, const Spread& spread) {
    if (spread.total.ok) into.push_back(spread.slowest());
    return spread.total;
  };
  Paired run = takeTurns(
      rounds,
      [&]() -> std::optional<Stream> {
        if (!up) return std::nullopt;
        return slowest(bridgeSlowest, bothWays(bridge, lanes, eachWay, 3072));
      },
      [&]() -> std::optional<Stream> {
        if (!relaysUp) return std::nullopt;
        return slowest(relaySlowest, bothWaysRelayed(relays, eachWay, 3072));
      });
  std::string name = std::to_string(laneCount) + " links at once, both ways, aggregate";
  addStreamFigures(report, failures, name, run, 0);
  addCpuFigures(report, std::to_string(laneCount) + " links at once", run, false);
  Figure fair{"slowest link's share of a fair one, " + std::to_string(laneCount) + " links",
              "ratio"};
  auto worst = [](const std::vector<double>& v) {
    return v.empty() ? none : *std::min_element(v.begin(), v.end());
  };
  fair.value = worst(bridgeSlowest);
  fair.reference = worst(relaySlowest);
  fair.target = ">= 0.5";
  fair.meets = atLeast(fair.value, 0.5);
  fair.note = "bytes each link had moved when the first was done, over their mean; worst round";
  report.add(fair);

  for (Lane& lane : relays) {
    if (lane.phone >= 0) ::close(lane.phone);
    finishChild(lane.relay);
  }
  // The end of input closes every link.
  if (bridge.child.pid > 0) {
    for (Lane& lane : lanes)
      if (lane.phone >= 0) ::shutdown(lane.phone, SHUT_WR);
    if (int status = finishChild(bridge.child); status != 0 && run.bridge.ok)
      failures.add("links at once", "exit status " + std::to_string(status) + " at end of input");
    for (Lane& lane : lanes)
      if (lane.phone >= 0) ::close(lane.phone);
  }
}

// A bridge of its own whose phone never reads, and a host that sends without waiting: in
// protocol 2, then in protocol 1 (which holds whatever it is given) for reference.
void measureFlood(const Workspace& ws, Listener& listener, const Options& opt, Report& report,
                  Failures& failures) {
  std::printf("flood: %llu MB of 3 KB sends, the phone reading none, in protocol 2 and 1\n",
              static_cast<unsigned long long>(opt.streamBytes >> 20));
  std::fflush(stdout);
  Flood floods[2];
  long connectedKb = -1;
  for (int protocol : {2, 1}) {
    Peer bridge;
    bridge.child = startBridge(ws);
    bridge.lines = LineInput(bridge.child.out);
    std::string_view ready;
    std::string why;
    if (!bridge.lines.next(ready, 10000) || !connectBridge(bridge, listener, report, why) ||
        !sayHello(bridge, protocol, why)) {
      failures.add("flood", why.empty() ? "no ready event" : why);
      finishChild(bridge.child);
      continue;
    }
    if (protocol == 2) connectedKb = statusKb(bridge.child.pid, "VmHWM");
    Flood& flood = floods[protocol - 1];
    flood = floodUnread(bridge, opt.streamBytes, 3072);
    if (!flood.stream.ok) {
      failures.add("flood, protocol " + std::to_string(protocol), flood.stream.error);
      finishChild(bridge.child);
    } else {
      hangUp(bridge, failures);
    }
  }
  const Flood& flood = floods[1];
  auto kb = [](const Flood& f, long v) { return f.stream.ok ? static_cast<double>(v) : none; };
  Figure peak{"peak RSS, phone reads nothing, host never waits (VmHWM)", "kB",
              kb(flood, flood.hwmEndKb)};
  peak.reference = kb(floods[0], floods[0].hwmEndKb);
  peak.note = "reference: protocol 1; " + std::to_string(flood.sends) + " sends, " +
              std::to_string(flood.busy) + " refused with BUSY; VmHWM " +
              std::to_string(connectedKb) + " kB connected, " + std::to_string(flood.hwmHalfKb) +
              " kB half-way; the window is 1024 kB";
  report.add(peak);
  Figure growth{"VmHWM growth, second half of the flood", "kB",
                kb(flood, flood.hwmEndKb - flood.hwmHalfKb)};
  growth.target = "<= 0 kB";
  growth.meets = std::isnan(growth.value) ? std::optional<bool>() : growth.value <= 0;
  report.add(growth);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--relay") == 0) return runRelay(argv[2]);
  Options opt;
  if (!parseOptions(argc, argv, opt)) return 2;
  std::signal(SIGPIPE, SIG_IGN);

  Report report;
  if (!opt.baseline.empty()) report.loadBaseline(opt.baseline);
  const double loadAtStart = loadAverage();
  Failures failures;
  Workspace ws(opt.bridge, opt.keep);
  Listener listener(ws.socket.string());

  if (opt.wants("startup")) {
    std::printf("start-up: %d runs\n", opt.startupRuns);
    std::fflush(stdout);
    measureStartup(ws, opt.startupRuns, report, failures);
  }

  // The bridge, idle, then connected to its phone; the relay beside it on the same socket.
  Peer bridge;
  bridge.child = startBridge(ws);
  bridge.lines = LineInput(bridge.child.out);
  std::string_view ready;
  if (!bridge.lines.next(ready, 10000)) failures.add("bridge", "no ready event");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Figure idle{"peak RSS idle (VmHWM)", "kB",
              static_cast<double>(statusKb(bridge.child.pid, "VmHWM"))};
  idle.target = "< 4096 kB";
  idle.meets = below(idle.value, 4096);
  idle.note = "VmRSS " + std::to_string(statusKb(bridge.child.pid, "VmRSS")) + " kB after ready";
  report.add(idle);

  std::string why;
  bool live = connectBridge(bridge, listener, report, why);
  if (!live && !opt.allowNoPhone) failures.add("connect", why);
  if (!live && opt.allowNoPhone) report.note("connect: " + why);

  Peer relay;
  relay.framed = false;
  relay.child = spawnChild({"/proc/self/exe", "--relay", ws.socket.string()});
  relay.phone = listener.accept(10000);
  if (relay.phone < 0) failures.add("relay", "never reached the socket");

  const int rounds = std::max(1, opt.rounds);
  if ((live || relay.phone >= 0) &&
      (opt.wants("up") || opt.wants("down3k") || opt.wants("down64"))) {
    const uint64_t n = opt.streamBytes;
    std::printf("streams: %llu MB each way, in %d rounds\n",
                static_cast<unsigned long long>(n >> 20), rounds);
    std::fflush(stdout);
    if (opt.wants("up")) {
      Paired up = alternate(bridge, relay, rounds,
                            [&](Peer& p) { return phoneToHost(p, n / rounds, 1 << 16); });
      addStreamFigures(report, failures, "phone->host", up, 0.5);
      addCpuFigures(report, "phone->host", up);
    }
    if (opt.wants("down3k")) {
      Paired down = alternate(bridge, relay, rounds, [&](Peer& p) {
        return hostToPhone(p, n / rounds / 3072 * 3072, 3072);
      });
      addStreamFigures(report, failures, "host->phone, 3 KB sends", down, 0.5);
      addCpuFigures(report, "host->phone", down);
    }
    if (opt.wants("down64")) {
      Paired down = alternate(bridge, relay, rounds, [&](Peer& p) {
        return hostToPhone(p, n / 8 / rounds / 64 * 64, 64);
      });
      addStreamFigures(report, failures, "host->phone, 64 B sends", down, 0.5);
      addCpuFigures(report, "host->phone, 64 B sends", down, false);
    }
  }

  if ((live || relay.phone >= 0) && opt.wants("paced")) {
    std::printf("paced at 2.2 Mbit/s: %.1f s each way\n", opt.pacedSeconds);
    std::fflush(stdout);
    auto paced = static_cast<uint64_t>(bluetoothRate * opt.pacedSeconds);
    Paired up = alternate(bridge, relay, 1,
                          [&](Peer& p) { return phoneToHost(p, paced, 1000, bluetoothRate); });
    addPacedFigure(report, failures, "phone->host", up);
    Paired down = alternate(bridge, relay, 1,
                            [&](Peer& p) { return hostToPhone(p, paced, 1000, bluetoothRate); });
    addPacedFigure(report, failures, "host->phone", down);
  }

  // First with the driver and both peers on one core, which measures their own work; then
  // as the scheduler places them, where a wake-up on the other core adds what this machine
  // charges for it (on a virtual machine, tens of microseconds and more).
  if ((live || relay.phone >= 0) && opt.wants("latency")) {
    std::printf("latency: %d round trips each way, on one core and on any, in %d rounds\n",
                opt.latencyRounds, rounds);
    std::fflush(stdout);
    for (bool oneCore : {true, false}) {
      for (pid_t pid : {pid_t{0}, bridge.child.pid, relay.child.pid}) pinToOneCore(pid, oneCore);
      for (bool up : {true, false}) {
        Latency lb, lr;
        for (int r = 0; r < rounds; ++r) {
          int count = opt.latencyRounds / rounds + (r < opt.latencyRounds % rounds ? 1 : 0);
          for (auto [peer, total] : {std::pair{&bridge, &lb}, {&relay, &lr}}) {
            if (peer->phone < 0 || (total->ran && !total->ok)) continue;
            Latency l = up ? phoneToHostLatency(*peer, count) : hostToPhoneLatency(*peer, count);
            total->ran = true;
            total->ok = l.ok;
            total->error = l.error;
            total->micros.insert(total->micros.end(), l.micros.begin(), l.micros.end());
          }
        }
        std::sort(lb.micros.begin(), lb.micros.end());
        std::sort(lr.micros.begin(), lr.micros.end());
        std::string direction = up ? "phone byte -> data event" : "send line -> byte at phone";
        addLatencyFigures(report, failures, direction + (oneCore ? ", one core" : ", any core"), lb,
                          lr, oneCore);
      }
    }
    for (pid_t pid : {pid_t{0}, bridge.child.pid, relay.child.pid}) pinToOneCore(pid, false);
  }

  if (live && (opt.wants("p2send") || opt.wants("p2data"))) {
    std::printf("protocol 2 against 1: %llu MB each way, in %d rounds\n",
                static_cast<unsigned long long>(opt.streamBytes >> 20), rounds);
    std::fflush(stdout);
    measureProtocols(bridge, opt, rounds, report, failures);
  }

  if (live) {
    hangUp(bridge, failures);
  } else {
    report.note("no live phone: the data path, latency, cost and event figures are n/a");
    finishChild(bridge.child);
  }

  // A bridge of its own, so that what the phases before left in its heap does not count.
  if (live && opt.wants("events")) {
    std::printf("events: %llu data events\n", static_cast<unsigned long long>(opt.events));
    std::fflush(stdout);
    // On one core with the driver, as the latency is: each event waits for a wake-up, and one
    // that crosses cores would only stretch the run.
    pinToOneCore(0, true);
    Peer fresh;
    fresh.child = startBridge(ws);
    pinToOneCore(0, false);
    fresh.lines = LineInput(fresh.child.out);
    std::string_view ready2;
    std::string why2;
    if (!fresh.lines.next(ready2, 10000) || !connectBridge(fresh, listener, report, why2)) {
      failures.add("events", why2.empty() ? "no ready event" : why2);
      finishChild(fresh.child);
    } else {
      pinToOneCore(0, true);
      EventRun ev = manyEvents(fresh, opt.events);
      pinToOneCore(0, false);
      if (!ev.stream.ok) failures.add("events", ev.stream.error);
      Figure rss{"RSS after " + std::to_string(opt.events) + " events (VmRSS)", "kB",
                 ev.stream.ok ? static_cast<double>(ev.rssEndKb) : none};
      rss.note = "VmHWM " + std::to_string(ev.hwmEndKb) + " kB, " + std::to_string(ev.threads) +
                 " threads; " + std::to_string(ev.stream.events) + " events in " +
                 std::to_string(ev.stream.seconds).substr(0, 5) + " s";
      report.add(rss);
      Figure growth{"RSS growth, last 90% of the events", "kB",
                    ev.stream.ok ? static_cast<double>(ev.rssEndKb - ev.rssWarmKb) : none};
      growth.target = "<= 0 kB";
      growth.meets = std::isnan(growth.value) ? std::optional<bool>() : growth.value <= 0;
      growth.note = "RssAnon (heap and stacks) " + std::to_string(ev.anonWarmKb) + " -> " +
                    std::to_string(ev.anonEndKb) + " kB";
      report.add(growth);
      if (ev.stream.ok) hangUp(fresh, failures);
    }
  }

  if (relay.phone >= 0) ::close(relay.phone);
  finishChild(relay.child);

  if (live && opt.wants("p2lanes")) measureLanes(ws, opt, rounds, report, failures);
  if (live && opt.wants("p2flood")) measureFlood(ws, listener, opt, report, failures);

  if (!opt.microSummary.empty()) addMicroFigures(report, opt.microSummary);
  char machine[160];
  std::snprintf(machine, sizeof machine,
                "%u cores; load average (1 min) %.2f at the start, %.2f at the end",
                std::thread::hardware_concurrency(), loadAtStart, loadAverage());
  report.note(machine);
  for (const auto& f : failures.list) report.note("FAILED " + f);
  std::printf("\n");
  report.print();
  if (!opt.json.empty()) {
    report.writeJson(opt.json);
    std::printf("figures written to %s\n", opt.json.c_str());
  }
  return failures.list.empty() ? 0 : 1;
}
