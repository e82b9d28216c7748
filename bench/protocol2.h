#pragma once
// Phases that only protocol 2 has: several links at once, and a host that sends without
// waiting for its `sent` events.
#include <cstdint>
#include <string>
#include <vector>

#include "phases.h"

namespace bench {

// One of several links moving bytes both ways at once: the phone's end, and the address
// (the bridge) or the relay process (the relays) at the host's end.
struct Lane {
  std::string addr;
  int phone = -1;
  Child relay;
};

struct Spread {
  Stream total;  // bytes both ways over every lane, seconds until the last lane was done
  // Each lane's bytes (both ways) at the moment the first lane had all of its own, over the
  // mean of them: 1 for every lane when the links share fairly.
  std::vector<double> shares;
  double slowest() const;
};

// Every lane's phone and the host each write `eachWay` bytes at once, the host in
// `chunk`-byte sends (the bridge: protocol 2, each lane within its window, "addr" on each
// send) or raw writes (the relays); every byte is checked where it arrives, and in the
// bridge every `sent` event against its send.
Spread bothWays(Peer& bridge, std::vector<Lane>& lanes, uint64_t eachWay, size_t chunk,
                size_t window = 1 << 20);
Spread bothWaysRelayed(std::vector<Lane>& lanes, uint64_t eachWay, size_t chunk);

// The phone reads nothing while the host writes `total` bytes in `chunk`-byte sends without
// waiting for any answer. In protocol 2 the window fills and the rest are refused with BUSY;
// protocol 1 takes them all. Then the phone reads, and gets exactly the bytes of the sends
// that were taken, in order.
struct Flood {
  Stream stream;                       // the host's sends; `bytes` those taken
  uint64_t sends = 0;                  // sent by the host
  uint64_t busy = 0;                   // refused with BUSY
  long hwmHalfKb = -1, hwmEndKb = -1;  // VmHWM half-way through the sends and at the end
};
Flood floodUnread(Peer& bridge, uint64_t total, size_t chunk);

}  // namespace bench
