// RFCOMM service ids, the services a lookup lists, and their host names.
#include "classes.h"

#include <vector>

#include "failures.h"
#include "operation.h"
#include "platform/posix/services.h"

namespace stack {

namespace {

using winrt::implements;
using winrt::make;

struct HostName : implements<HostName, wn::IHostName> {
  explicit HostName(Ref<platform::HostName> h) : model_(std::move(h)), name_(label("HostName")) {}
  hstring RawName() const { return toHstring(std::u16string(name_.begin(), name_.end())); }
  hstring DisplayName() const { return RawName(); }
  hstring CanonicalName() const { return RawName(); }
  wn::HostNameType Type() const { return wn::HostNameType::Bluetooth; }
  bool IsEqual(const wn::HostName& other) const { return other && other.RawName() == RawName(); }
  UNUSED_MEMBER(IPInformation)
  Ref<platform::HostName> model_;
  std::string name_;
};

struct HostNameFactory : implements<HostNameFactory, wf::IActivationFactory, wn::IHostNameFactory> {
  wf::IInspectable ActivateInstance() const { throw winrt::hresult_not_implemented(); }
  wn::HostName CreateHostName(const hstring& text) const {
    trace("HostName.CreateHostName " + quoted(text));
    return make<HostName>(nullptr).as<wn::HostName>();
  }
};

struct ServiceId : implements<ServiceId, rfc::IRfcommServiceId> {
  explicit ServiceId(Ref<platform::RfcommServiceId> s)
      : model_(std::move(s)), name_(label("RfcommServiceId")) {}
  hstring AsString() const { return L"{00001101-0000-1000-8000-00805f9b34fb}"; }
  uint32_t AsShortId() const { return 0x1101; }
  winrt::guid Uuid() const { return winrt::guid("00001101-0000-1000-8000-00805f9b34fb"); }
  Ref<platform::RfcommServiceId> model_;
  std::string name_;
};

struct ServiceIdStatics
    : implements<ServiceIdStatics, wf::IActivationFactory, rfc::IRfcommServiceIdStatics> {
  wf::IInspectable ActivateInstance() const { throw winrt::hresult_not_implemented(); }
  rfc::RfcommServiceId SerialPort() const {
    return traced<ServiceId, rfc::RfcommServiceId>("RfcommServiceId.SerialPort",
                                                   platform::rfcommSerialPortId());
  }
  UNUSED_MEMBER(FromUuid)
  UNUSED_MEMBER(FromShortId)
  UNUSED_MEMBER(ObexObjectPush)
  UNUSED_MEMBER(ObexFileTransfer)
  UNUSED_MEMBER(PhoneBookAccessPce)
  UNUSED_MEMBER(PhoneBookAccessPse)
  UNUSED_MEMBER(GenericFileTransfer)
};

struct Service : implements<Service, rfc::IRfcommDeviceService> {
  Service(Ref<platform::RfcommDeviceService> s, uint32_t index)
      : model_(std::move(s)), name_(label("RfcommDeviceService")), index_(index) {}
  hstring ConnectionServiceName() const {
    auto text = toHstring(platform::connectionServiceName(model_));
    trace(name_ + ".ConnectionServiceName -> " + quoted(text));
    return text;
  }
  wn::HostName ConnectionHostName() const {
    return traced<HostName, wn::HostName>(name_ + ".ConnectionHostName",
                                          platform::connectionHostName(model_));
  }
  UNUSED_MEMBER(ServiceId)
  UNUSED_MEMBER(ProtectionLevel)
  UNUSED_MEMBER(MaxProtectionLevel)
  UNUSED_MEMBER(GetSdpRawAttributesAsync)
  Ref<platform::RfcommDeviceService> model_;
  std::string name_;
  uint32_t index_;
};

struct ServicesResult : implements<ServicesResult, rfc::IRfcommDeviceServicesResult> {
  explicit ServicesResult(Ref<platform::RfcommDeviceServicesResult> r) : model_(std::move(r)) {
    std::vector<rfc::RfcommDeviceService> list;
    uint32_t size = platform::servicesSize(model_);
    for (uint32_t i = 0; i < size; ++i) {
      auto service = make<Service>(platform::serviceAt(model_, i), i);
      trace("RfcommDeviceServicesResult.Services[" + std::to_string(i) +
            "] = " + winrt::get_self<Service>(service)->name_);
      list.push_back(service.as<rfc::RfcommDeviceService>());
    }
    services_ = winrt::single_threaded_vector(std::move(list)).GetView();
  }
  wfc::IVectorView<rfc::RfcommDeviceService> Services() const { return services_; }
  // Why the list is empty when it is: the radio off, the phone out of range (BluetoothError).
  wdb::BluetoothError Error() const {
    auto error = static_cast<wdb::BluetoothError>(model_->error);
    trace("RfcommDeviceServicesResult.Error -> " + std::to_string(static_cast<int32_t>(error)));
    return error;
  }
  Ref<platform::RfcommDeviceServicesResult> model_;
  wfc::IVectorView<rfc::RfcommDeviceService> services_;
};

}  // namespace

wf::IActivationFactory serviceIdFactory() {
  return make<ServiceIdStatics>().as<wf::IActivationFactory>();
}
wf::IActivationFactory hostNameFactory() {
  return make<HostNameFactory>().as<wf::IActivationFactory>();
}

Ref<platform::RfcommServiceId> serviceIdModel(const rfc::RfcommServiceId& id) {
  if (!id) raise(invalidArgument);
  return winrt::get_self<ServiceId>(id)->model_;
}
std::string nameOf(const rfc::RfcommServiceId& id) {
  return id ? winrt::get_self<ServiceId>(id)->name_ : "null";
}
Ref<platform::HostName> hostNameModel(const wn::HostName& host) {
  if (!host) raise(invalidArgument);
  return winrt::get_self<HostName>(host)->model_;
}
std::string nameOf(const wn::HostName& host) {
  return host ? winrt::get_self<HostName>(host)->name_ : "null";
}

wf::IAsyncOperation<rfc::RfcommDeviceServicesResult> servicesOperation(
    platform::Async<Ref<platform::RfcommDeviceServicesResult>> lookup) {
  return operation<rfc::RfcommDeviceServicesResult>(
      "GetRfcommServicesForIdAsync", std::move(lookup),
      [](Ref<platform::RfcommDeviceServicesResult> r) {
        return make<ServicesResult>(std::move(r)).as<rfc::RfcommDeviceServicesResult>();
      });
}

}  // namespace stack
