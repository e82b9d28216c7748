#include "figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <utility>

namespace bench {

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

namespace {

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

}  // namespace

Paired takeTurns(int rounds, const Run& bridge, const Run& reference) {
  std::vector<Stream> b, r;
  std::vector<double> ratios, bRate, rRate, bCpu, rCpu;
  for (int i = 0; i < rounds; ++i) {
    std::optional<Stream> one, other;
    if (b.empty() || b.back().ok) one = bridge();
    if (r.empty() || r.back().ok) other = reference();
    if (one) b.push_back(*one);
    if (other) r.push_back(*other);
    if (one && one->ok) {
      bRate.push_back(one->mbps());
      bCpu.push_back(one->cpuPerMb());
    }
    if (other && other->ok) {
      rRate.push_back(other->mbps());
      rCpu.push_back(other->cpuPerMb());
    }
    if (one && other && one->ok && other->ok) ratios.push_back(one->mbps() / other->mbps());
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
  if (bridge.ran && !bridge.ok) failures.add(name + " (" + run.bridgeName + ")", bridge.error);
  if (relay.ran && !relay.ok) failures.add(name + " (" + run.relayName + ")", relay.error);
  Figure f{name, "MB/s"};
  f.value = run.bridgeMbps;
  f.reference = run.relayMbps;
  f.ratio = run.ratio;
  if (minRatio > 0) {
    char target[64];
    std::snprintf(target, sizeof target, "ratio >= %g", minRatio);
    f.target = target;
    f.meets = atLeast(f.ratio, minRatio);
  }
  if (bridge.ok && bridge.events)
    f.note = std::to_string(bridge.events) + " data events, " +
             std::to_string(bridge.bytes / bridge.events) + " B each on average";
  report.add(f);
}

void addCpuFigures(Report& report, const std::string& direction, const Paired& run,
                   bool atBluetoothRate) {
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

}  // namespace bench
