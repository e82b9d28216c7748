#include "host/adapter.h"

#include <atomic>
#include <mutex>
#include <string>

#include "connection/connection.h"
#include "discovery/scan.h"
#include "host/events.h"
#include "host/log.h"
#include "host/report.h"
#include "pairing/pairing.h"

using platform::AdapterState;

namespace {

// Taken to be on until the platform says otherwise, so that the pieces driven without a
// start-up (tests, fuzzing) work as they always did.
std::atomic<AdapterState> state{AdapterState::on};
std::mutex changeLock;  // orders a change against the state watchAdapter returns
bool heardChange = false;

std::string_view changeLine(AdapterState state) {
  switch (state) {
    case AdapterState::on:
      return "[adapter] адаптер снова работает";
    case AdapterState::off:
      return "[adapter] радио адаптера выключено";
    case AdapterState::absent:
      break;
  }
  return "[adapter] адаптер пропал";
}

}  // namespace

AdapterState adapterState() {
  return state.load();
}

bool adapterOn() {
  return adapterState() == AdapterState::on;
}

void adapterChanged(AdapterState next) {
  AdapterState previous;
  {
    std::lock_guard guard(changeLock);
    heardChange = true;
    previous = state.load();
    if (previous == next) return;
    // The event is queued before the state is stored: a task that sees the new state (and so
    // answers ADAPTER_OFF) queues its answer after it. A command that starts from then on is
    // refused at once; one that registered before is answered below.
    queueReport({.kind = Kind::adapter, .text = adapterStateName(next)});
    state = next;
  }
  writeEvents();
  logLine(changeLine(next));
  if (previous != AdapterState::on) return;
  closeConnectionsForAdapter();
  abandonConnects();
  abandonPairs();
  abandonScans();
}

void followAdapter() {
  AdapterState now = platform::watchAdapter(adapterChanged);
  {
    // A change reported while watchAdapter was still returning is newer than its result.
    std::lock_guard guard(changeLock);
    if (!heardChange) state = now;
  }
  // The probe cannot tell a radio that is switched off.
  if (now == AdapterState::off) logLine("[start] радио адаптера выключено — включи Bluetooth");
}
