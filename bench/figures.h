#pragma once
// From measurements to rows of the table: two runs taken in turns, and the figures each kind
// of phase gives.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "phases.h"
#include "report.h"

namespace bench {

constexpr double bluetoothRate = 2.2e6 / 8;  // bytes per second at 2.2 Mbit/s

double median(std::vector<double> v);
std::optional<bool> below(double v, double limit);
std::optional<bool> atLeast(double v, double limit);

struct Failures {
  std::vector<std::string> list;
  void add(const std::string& what, const std::string& why) { list.push_back(what + ": " + why); }
};

// One phase, measured on the bridge and on its reference (the relay, or the bridge in
// protocol 1) in turns. Each figure is the median over the rounds, which a burst of other
// work on the machine moves less than a sum would.
struct Paired {
  Stream bridge, relay;  // the rounds summed
  double ratio = none;   // the rounds' rate ratios, bridge / reference
  double bridgeMbps = none, relayMbps = none;
  double bridgeCpuPerMb = none, relayCpuPerMb = none;      // CPU seconds per MB
  std::string bridgeName = "bridge", relayName = "relay";  // in failures
};

// The two take turns, so that a change in the machine's load falls on both alike. A run
// gives nothing when its peer is not there; after a failed round that side runs no more.
using Run = std::function<std::optional<Stream>()>;
Paired takeTurns(int rounds, const Run& bridge, const Run& reference);

// Bridge and relay, each measured by `measure`.
template <typename Measure>
Paired alternate(Peer& bridge, Peer& relay, int rounds, Measure measure) {
  auto on = [&](Peer& peer) -> Run {
    return [&peer, &measure]() -> std::optional<Stream> {
      if (peer.phone < 0) return std::nullopt;
      return measure(peer);
    };
  };
  return takeTurns(rounds, on(bridge), on(relay));
}

// `minRatio` 0: no target.
void addStreamFigures(Report& report, Failures& failures, const std::string& name,
                      const Paired& run, double minRatio);
void addCpuFigures(Report& report, const std::string& direction, const Paired& run,
                   bool atBluetoothRate = true);
void addPacedFigure(Report& report, Failures& failures, const std::string& direction,
                    const Paired& run);
void addLatencyFigures(Report& report, Failures& failures, const std::string& direction,
                       const Latency& bridge, const Latency& relay, bool withTarget);
// The micro benchmarks' summary (name value lines), as rows of the same table.
void addMicroFigures(Report& report, const std::string& path);

}  // namespace bench
