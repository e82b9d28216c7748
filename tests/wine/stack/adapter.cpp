// The default adapter.
#include "classes.h"

#include "failures.h"
#include "operation.h"

namespace stack {

namespace {

using winrt::implements;
using winrt::make;

struct Adapter : implements<Adapter, wdb::IBluetoothAdapter> {
  explicit Adapter(Ref<platform::BluetoothAdapter> a) : model_(std::move(a)) {}
  bool IsClassicSupported() const {
    bool yes = platform::isClassicSupported(model_);
    trace("BluetoothAdapter.IsClassicSupported -> " + std::string(yes ? "true" : "false"));
    return yes;
  }
  UNUSED_MEMBER(DeviceId)
  UNUSED_MEMBER(BluetoothAddress)
  UNUSED_MEMBER(IsLowEnergySupported)
  UNUSED_MEMBER(IsPeripheralRoleSupported)
  UNUSED_MEMBER(IsCentralRoleSupported)
  UNUSED_MEMBER(IsAdvertisementOffloadSupported)
  UNUSED_MEMBER(GetRadioAsync)
  UNUSED_MEMBER(AreClassicSecureConnectionsSupported)
  UNUSED_MEMBER(AreLowEnergySecureConnectionsSupported)

  Ref<platform::BluetoothAdapter> model_;
};

struct AdapterStatics
    : implements<AdapterStatics, wf::IActivationFactory, wdb::IBluetoothAdapterStatics> {
  wf::IInspectable ActivateInstance() const { throw winrt::hresult_not_implemented(); }
  wf::IAsyncOperation<wdb::BluetoothAdapter> GetDefaultAsync() const {
    trace("BluetoothAdapter.GetDefaultAsync");
    return operation<wdb::BluetoothAdapter>(
        "GetDefaultAsync", platform::getDefaultAdapterAsync(),
        [](Ref<platform::BluetoothAdapter> a) -> wdb::BluetoothAdapter {
          if (!a) return nullptr;
          return make<Adapter>(std::move(a)).as<wdb::BluetoothAdapter>();
        });
  }
  UNUSED_MEMBER(GetDeviceSelector)
  UNUSED_MEMBER(FromIdAsync)
};

}  // namespace

wf::IActivationFactory adapterFactory() {
  return make<AdapterStatics>().as<wf::IActivationFactory>();
}

}  // namespace stack
