#pragma once
// One measurement each: the bridge through its JSON lines, the relay through raw bytes, with
// every byte checked against a known pattern.
#include <cstdint>
#include <string>
#include <vector>

#include "bench_process.h"

namespace bench {

// A process under test and the phone's end of its link.
struct Peer {
  Child child;
  LineInput lines{-1};  // the bridge's events
  int phone = -1;       // our end of the phone's socket
  bool framed = true;   // the bridge (JSON lines) or the relay (raw bytes)
  int protocol = 1;     // the bridge's, as the last hello set it
  std::string addr;     // the phone's address as protocol 2 writes it
  // The start of a data event of this link, up to the base64 text.
  std::string dataPrefix() const;
};

constexpr int stallMs = 10000;  // no progress for this long: the phase has failed

// The base64 text of a data event that starts with `prefix`; false for any other line.
bool dataPayload(std::string_view line, std::string_view prefix, std::string_view& b64);
// A line cut short for a message.
std::string shown(std::string_view line);
// After a failure the process under test may never read again: end it so that our writer
// threads see their writes fail.
void breakPeer(Peer& peer);

// A `sent` without id: in protocol 2 it answers a send written without one, such as a send of
// protocol 1 whose bytes were stored only after a hello switched to 2. Such lines are skipped.
bool unclaimedSent(const Peer& peer, std::string_view line);
// Switches the bridge to `protocol` with a hello and reads its answer.
bool sayHello(Peer& peer, int protocol, std::string& error);

struct Stream {
  bool ran = false;  // false: the peer was not there to measure
  bool ok = false;
  std::string error;
  uint64_t bytes = 0;
  double seconds = 0;
  double cpu = 0;  // CPU seconds of the process under test over the phase
  uint64_t events = 0;
  double mbps() const { return bytes / seconds / 1e6; }
  double cpuPerMb() const { return cpu / (bytes / 1e6); }
};

// The phone writes `total` bytes as fast as it can, in `chunk`-byte writes, or paced to
// `rate` bytes per second when it is set.
Stream phoneToHost(Peer& peer, uint64_t total, size_t chunk, double rate = 0);

// The host writes `total` bytes in `chunk`-byte pieces (one send command, or one raw write,
// each), as fast as it can or paced to `rate` bytes per second. In protocol 2 each send
// carries an id, and the host keeps at most `window` bytes unacknowledged, reading the `sent`
// events as they come; the phase ends once the phone has every byte and the host every
// `sent`.
Stream hostToPhone(Peer& peer, uint64_t total, size_t chunk, double rate = 0,
                   size_t window = 1 << 20);

struct Latency {
  bool ran = false;
  bool ok = false;
  std::string error;
  std::vector<double> micros;  // sorted
  double percentile(double p) const;
};

// One-byte round trips, each waiting for the byte before the next is written.
Latency phoneToHostLatency(Peer& peer, int rounds);
Latency hostToPhoneLatency(Peer& peer, int rounds);

// The phone keeps a few small writes in flight until the bridge has emitted `events` data
// events; the resident set after a tenth of them and at the end.
struct EventRun {
  Stream stream;
  long rssWarmKb = -1, rssEndKb = -1, hwmEndKb = -1, threads = -1;
  long anonWarmKb = -1, anonEndKb = -1;  // the heap and stacks, without mapped files
};
EventRun manyEvents(Peer& peer, uint64_t events);

}  // namespace bench
