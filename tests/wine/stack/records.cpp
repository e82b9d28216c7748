// Device records (DeviceInformation) and the DeviceInformation statics.
#include "classes.h"

#include "failures.h"
#include "operation.h"
#include "platform/sim/objects.h"

namespace stack {

namespace {

using winrt::implements;
using winrt::make;

struct Information : implements<Information, wde::IDeviceInformation, wde::IDeviceInformation2> {
  explicit Information(Ref<platform::DeviceInformation> i) : model_(std::move(i)) {}
  hstring Id() const {
    auto id = toHstring(platform::deviceInformationId(model_));
    trace("DeviceInformation.Id -> " + quoted(id));
    return id;
  }
  wde::DeviceInformationPairing Pairing() const {
    // Windows gives a pairing object only to association-endpoint records.
    if (model_->device && model_->device->pairingNone) {
      trace("DeviceInformation.Pairing -> null");
      return nullptr;
    }
    trace("DeviceInformation.Pairing");
    return wrapPairing(model([&] { return platform::deviceInformationPairing(model_); }));
  }
  wde::DeviceInformationKind Kind() const {
    return wde::DeviceInformationKind::AssociationEndpoint;
  }
  UNUSED_MEMBER(Name)
  UNUSED_MEMBER(IsEnabled)
  UNUSED_MEMBER(IsDefault)
  UNUSED_MEMBER(EnclosureLocation)
  UNUSED_MEMBER(Properties)
  UNUSED_MEMBER(Update)
  UNUSED_MEMBER(GetThumbnailAsync)
  UNUSED_MEMBER(GetGlyphThumbnailAsync)
  Ref<platform::DeviceInformation> model_;
};

struct InformationStatics
    : implements<InformationStatics, wf::IActivationFactory, wde::IDeviceInformationStatics,
                 wde::IDeviceInformationStatics2> {
  wf::IInspectable ActivateInstance() const { throw winrt::hresult_not_implemented(); }

  wde::DeviceWatcher CreateWatcher(const hstring& selector,
                                   const wfc::IIterable<hstring>& properties,
                                   wde::DeviceInformationKind kind) const {
    return stack::createWatcher(selector, properties, kind);
  }
  wf::IAsyncOperation<wde::DeviceInformation> CreateFromIdAsync(const hstring& id) const {
    trace("DeviceInformation.CreateFromIdAsync " + quoted(id));
    return operation<wde::DeviceInformation>(
        "CreateFromIdAsync", platform::createFromIdAsync(units(id)), wrapInformation);
  }
  template <typename A, typename B>
  Unused CreateFromIdAsync(const A&, const B&) const {
    return {};
  }
  template <typename A, typename B, typename C>
  Unused CreateFromIdAsync(const A&, const B&, const C&) const {
    return {};
  }
  Unused CreateWatcher() const { return {}; }
  template <typename A>
  Unused CreateWatcher(const A&) const {
    return {};
  }
  template <typename A, typename B>
  Unused CreateWatcher(const A&, const B&) const {
    return {};
  }
  UNUSED_MEMBER(FindAllAsync)
  UNUSED_MEMBER(GetAqsFilterFromDeviceClass)
};

}  // namespace

wde::DeviceInformation wrapInformation(Ref<platform::DeviceInformation> info) {
  if (!info) return nullptr;
  return make<Information>(std::move(info)).as<wde::DeviceInformation>();
}

wf::IActivationFactory deviceInformationFactory() {
  return make<InformationStatics>().as<wf::IActivationFactory>();
}

}  // namespace stack
