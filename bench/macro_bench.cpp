// The end-to-end benchmark: the real executable on a world with a live phone, measured side
// by side with a plain relay over the same kind of socket and pipes. Prints one table and
// writes the same figures as JSON. Measures only: the exit status says whether every byte
// arrived intact, never whether a figure was reached.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"
#include "phases.h"
#include "relay.h"
#include "report.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

constexpr const char* address = "A4:50:46:12:34:56";
constexpr double bluetoothRate = 2.2e6 / 8;  // bytes per second at 2.2 Mbit/s

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
      "                   [--only startup,up,down3k,down64,paced,latency,events]\n");
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

double median(std::vector<double> v) {
  if (v.empty()) return none;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::optional<bool> below(double v, double limit) {
  if (std::isnan(v)) return std::nullopt;
  return v < limit;
}
std::optional<bool> atLeast(double v, double limit) {
  if (std::isnan(v)) return std::nullopt;
  return v >= limit;
}

// A scratch directory with our own copy of the executable, so its log file sits there.
struct Workspace {
  fs::path dir, exe, world, socket;
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

Child startBridge(const Workspace& ws) {
  return spawnChild({ws.exe.string()}, {"QUINTEL_BT_WORLD=" + ws.world.string()});
}

// The one-minute load average: other work on the machine disturbs every wall-clock figure.
double loadAverage() {
  double load = none;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

struct Failures {
  std::vector<std::string> list;
  void add(const std::string& what, const std::string& why) { list.push_back(what + ": " + why); }
};

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

// The bridge, connected to its live phone; `peer.phone` stays -1 when that fails.
bool connectBridge(Peer& peer, Listener& listener, Report& report, std::string& why) {
  std::string line = std::string(R"({"t":"connect","addr":")") + address + "\"}\n";
  writeAll(peer.child.in, line.data(), line.size());
  peer.phone = listener.accept(10000);
  std::string_view event;
  bool connected = false;
  double deadline = now() + 10;
  while (!connected && peer.lines.next(event, static_cast<int>((deadline - now()) * 1000))) {
    connected = event.starts_with(R"({"t":"connected",)");
    if (!connected) report.note("while connecting the bridge emitted " + std::string(event));
  }
  if (connected && peer.phone >= 0) return true;
  if (peer.phone >= 0) ::close(peer.phone);
  peer.phone = -1;
  why = connected ? "the phone never reached the socket" : "no connected event within 10 s";
  return false;
}

// One phase, measured on the bridge and on the relay in turns.
// Each figure is the median over the rounds, which a burst of other work on the machine moves
// less than a sum would.
struct Paired {
  Stream bridge, relay;  // the rounds summed
  double ratio = none;   // the rounds' rate ratios, bridge / relay
  double bridgeMbps = none, relayMbps = none;
  double bridgeCpuPerMb = none, relayCpuPerMb = none;  // CPU seconds per MB
};

Stream sum(const std::vector<Stream>& runs) {
  Stream total;
  for (const Stream& s : runs) {
    if (!total.ran) total.ok = true;
    total.ran = true;
    total.ok = total.ok && s.ok;
    if (!s.ok && total.error.empty()) total.error = s.error;
    total.bytes += s.bytes;
    total.seconds += s.seconds;
    total.cpu += s.cpu;
    total.events += s.events;
  }
  return total;
}

// Bridge and relay take turns, so that a change in the machine's load falls on both alike.
template <typename Measure>
Paired alternate(Peer& bridge, Peer& relay, int rounds, Measure measure) {
  std::vector<Stream> b, r;
  std::vector<double> ratios, bRate, rRate, bCpu, rCpu;
  for (int i = 0; i < rounds; ++i) {
    bool bridgeUp = bridge.phone >= 0 && (b.empty() || b.back().ok);
    bool relayUp = relay.phone >= 0 && (r.empty() || r.back().ok);
    if (bridgeUp) b.push_back(measure(bridge));
    if (relayUp) r.push_back(measure(relay));
    if (bridgeUp && b.back().ok) {
      bRate.push_back(b.back().mbps());
      bCpu.push_back(b.back().cpuPerMb());
    }
    if (relayUp && r.back().ok) {
      rRate.push_back(r.back().mbps());
      rCpu.push_back(r.back().cpuPerMb());
    }
    if (bridgeUp && relayUp && b.back().ok && r.back().ok)
      ratios.push_back(b.back().mbps() / r.back().mbps());
  }
  Paired p{sum(b), sum(r)};
  if (p.bridge.ok) p.bridgeMbps = median(bRate), p.bridgeCpuPerMb = median(bCpu);
  if (p.relay.ok) p.relayMbps = median(rRate), p.relayCpuPerMb = median(rCpu);
  if (p.bridge.ok && p.relay.ok && !ratios.empty()) p.ratio = median(ratios);
  return p;
}

void addStreamFigures(Report& report, Failures& failures, const std::string& name,
                      const Paired& run, double minRatio) {
  const Stream& bridge = run.bridge;
  const Stream& relay = run.relay;
  if (bridge.ran && !bridge.ok) failures.add(name + " (bridge)", bridge.error);
  if (relay.ran && !relay.ok) failures.add(name + " (relay)", relay.error);
  Figure f{name, "MB/s"};
  f.value = run.bridgeMbps;
  f.reference = run.relayMbps;
  f.ratio = run.ratio;
  char target[64];
  std::snprintf(target, sizeof target, "ratio >= %.1f", minRatio);
  f.target = target;
  f.meets = atLeast(f.ratio, minRatio);
  if (bridge.ok && bridge.events)
    f.note = std::to_string(bridge.events) + " data events, " +
             std::to_string(bridge.bytes / bridge.events) + " B each on average";
  report.add(f);
}

void addCpuFigures(Report& report, const std::string& direction, const Paired& run,
                   bool atBluetoothRate = true) {
  Figure perMb{"CPU per MB, " + direction, "ms/MB"};
  perMb.value = run.bridgeCpuPerMb * 1e3;
  perMb.reference = run.relayCpuPerMb * 1e3;
  perMb.ratio = perMb.reference / perMb.value;
  report.add(perMb);
  if (!atBluetoothRate) return;
  Figure core{"core at 2.2 Mbit/s, " + direction + " (from CPU/MB)", "%"};
  core.value = perMb.value * 1e-3 * bluetoothRate / 1e6 * 100;
  core.reference = perMb.reference * 1e-3 * bluetoothRate / 1e6 * 100;
  core.target = "< 0.1 %";
  core.meets = below(core.value, 0.1);
  report.add(core);
}

void addPacedFigure(Report& report, Failures& failures, const std::string& direction,
                    const Paired& run) {
  const Stream& bridge = run.bridge;
  const Stream& relay = run.relay;
  std::string name = "core at 2.2 Mbit/s, " + direction + " (paced, measured)";
  if (bridge.ran && !bridge.ok) failures.add(name + " (bridge)", bridge.error);
  if (relay.ran && !relay.ok) failures.add(name + " (relay)", relay.error);
  Figure f{name, "%"};
  f.value = bridge.ok ? bridge.cpu / bridge.seconds * 100 : none;
  f.reference = relay.ok ? relay.cpu / relay.seconds * 100 : none;
  f.note = "1000-byte pieces at 275,000 B/s; one wake-up per piece, which costs the relay too";
  report.add(f);
}

void addLatencyFigures(Report& report, Failures& failures, const std::string& direction,
                       const Latency& bridge, const Latency& relay, bool withTarget) {
  if (bridge.ran && !bridge.ok) failures.add("latency " + direction + " (bridge)", bridge.error);
  if (relay.ran && !relay.ok) failures.add("latency " + direction + " (relay)", relay.error);
  for (auto [label, p] : {std::pair{"p50", 50.0}, {"p99", 99.0}, {"max", 100.0}}) {
    Figure f{"latency " + direction + ", " + label, "µs"};
    f.value = bridge.ok ? bridge.percentile(p) : none;
    f.reference = relay.ok ? relay.percentile(p) : none;
    if (p == 99.0 && withTarget) {
      f.target = "< 200 µs";
      f.meets = below(f.value, 200);
    }
    if (p == 100.0 && bridge.ok) f.note = std::to_string(bridge.micros.size()) + " round trips";
    report.add(f);
  }
}

// The micro benchmarks' summary (name value lines), as rows of the same table.
void addMicroFigures(Report& report, const std::string& path) {
  std::ifstream in(path);
  std::map<std::string, double> v;
  std::string name;
  double value;
  while (in >> name >> value) v[name] = value;
  if (v.empty()) {
    report.note("no micro benchmark summary at " + path);
    return;
  }
  for (const char* op : {"Encode", "Decode"}) {
    for (const char* size : {"4096", "65536"}) {
      std::string key = std::string("base64") + op + "_" + size;
      if (!v.count(key + "_MBps")) continue;
      Figure f{std::string("base64") + op + " " + size + " B", "MB/s", v[key + "_MBps"]};
      if (v.count(key + "_ref_MBps")) {
        f.reference = v[key + "_ref_MBps"];
        f.ratio = v[key + "_ratio"];
      }
      double min = std::string(op) == "Encode" ? 1.0 : 0.5;
      f.target = min == 1.0 ? "ratio >= 1.0" : "ratio >= 0.5";
      f.meets = atLeast(f.ratio, min);
      report.add(f);
    }
  }
  for (const auto& [key, label] : std::vector<std::pair<std::string, std::string>>{
           {"ns_BM_parseCommand_scan", "parseCommand, scan line"},
           {"ns_BM_parseCommand_pair", "parseCommand, pair line"},
           {"ns_BM_parseCommand_send4k", "parseCommand, send with 4 KB base64"},
           {"ns_BM_jsonEscape_deviceName", "jsonEscape, device name"},
           {"ns_BM_jsonEscape_text4k", "jsonEscape, 4 KB"},
           {"ns_BM_emitEvent_connected_real_time_threads_2", "emitEvent, short event, 2 threads"},
           {"ns_BM_emitEvent_data4k_real_time_threads_2",
            "emitEvent, 4 KB data event, 2 threads"}}) {
    if (v.count(key)) report.add(Figure{label, "ns/call", v[key]});
  }
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

  // The phone hangs up: the host must hear of it.
  auto hangUp = [&](Peer& peer) {
    ::close(peer.phone);
    peer.phone = -1;
    std::string_view event;
    bool closed = false;
    while (!closed && peer.lines.next(event, 10000))
      closed = event == R"({"t":"closed","reason":"соединение закрыто"})";
    if (!closed) failures.add("close", "no closed event after the phone hung up");
    if (int status = finishChild(peer.child); status != 0)
      failures.add("bridge", "exit status " + std::to_string(status) + " at end of input");
  };
  if (live) {
    hangUp(bridge);
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
      if (ev.stream.ok) hangUp(fresh);
    }
  }

  if (relay.phone >= 0) ::close(relay.phone);
  finishChild(relay.child);

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
