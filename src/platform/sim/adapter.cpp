// The simulated default adapter, as the world's state has it now (state.h).
#include "platform/platform.h"
#include "platform/sim/runtime.h"
#include "platform/sim/state.h"

namespace platform {

struct BluetoothAdapter {
  bool classic = true;
};

Async<Ref<BluetoothAdapter>> getDefaultAdapterAsync() {
  const auto& w = sim::world();
  sim::Fault fault = sim::probeFails() ? w.adapterError : sim::Fault();
  auto make = [&w] {
    return sim::adapterNow().state == AdapterState::absent
               ? nullptr
               : std::make_shared<BluetoothAdapter>(BluetoothAdapter{w.classic});
  };
  if (w.probeDelayMs == 0 && !fault) return Async<Ref<BluetoothAdapter>>::ready(make());
  return sim::completeLater<Ref<BluetoothAdapter>>(w.probeDelayMs, fault, make);
}

bool isClassicSupported(const Ref<BluetoothAdapter>& adapter) {
  return adapter->classic;
}

// A probe that failed leaves the radio as it is: on, unless the world says otherwise.
AdapterState watchAdapter(std::function<void(AdapterState)> changed) {
  return sim::followAdapter(
             [changed = std::move(changed)](const sim::AdapterNow& now) { changed(now.state); })
      .first.state;
}

}  // namespace platform
