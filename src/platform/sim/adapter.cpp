// The simulated default adapter.
#include "platform/platform.h"
#include "platform/sim/runtime.h"

namespace platform {

struct BluetoothAdapter {
  bool classic = true;
};

Async<Ref<BluetoothAdapter>> getDefaultAdapterAsync() {
  const auto& w = sim::world();
  sim::Fault fault = w.adapter == sim::AdapterKind::failing ? w.adapterError : sim::Fault();
  if (w.probeDelayMs == 0 && !fault) {
    if (w.adapter == sim::AdapterKind::absent) return Async<Ref<BluetoothAdapter>>::ready(nullptr);
    return Async<Ref<BluetoothAdapter>>::ready(
        std::make_shared<BluetoothAdapter>(BluetoothAdapter{w.classic}));
  }
  return sim::completeLater<Ref<BluetoothAdapter>>(w.probeDelayMs, fault, [&w] {
    return w.adapter == sim::AdapterKind::absent
               ? nullptr
               : std::make_shared<BluetoothAdapter>(BluetoothAdapter{w.classic});
  });
}

bool isClassicSupported(const Ref<BluetoothAdapter>& adapter) {
  return adapter->classic;
}

// The world's adapter does not change during a run (yet).
AdapterState watchAdapter(std::function<void(AdapterState)>) {
  return sim::world().adapter == sim::AdapterKind::present ? AdapterState::on
                                                           : AdapterState::absent;
}

}  // namespace platform
