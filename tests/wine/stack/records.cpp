// Device records (DeviceInformation and the updates a watcher's Removed carries) and the
// DeviceInformation statics.
#include "classes.h"

#include "failures.h"
#include "operation.h"
#include "platform/sim/objects.h"
#include "platform/sim/runtime.h"

namespace stack {

namespace {

using winrt::implements;
using winrt::make;
using winrt::make_self;

struct Information : implements<Information, wde::IDeviceInformation, wde::IDeviceInformation2> {
  Information(Ref<platform::DeviceInformation> i, wde::DeviceInformationKind kind)
      : model_(std::move(i)), kind_(kind) {}
  hstring Id() const {
    auto id = toHstring(platform::deviceInformationId(model_));
    trace("DeviceInformation.Id -> " + quoted(id));
    return id;
  }
  wde::DeviceInformationPairing Pairing() const {
    // Windows gives a pairing object only to association-endpoint records.
    if (kind_ != wde::DeviceInformationKind::AssociationEndpoint ||
        (model_->device && model_->device->pairingNone)) {
      trace("DeviceInformation.Pairing -> null");
      return nullptr;
    }
    trace("DeviceInformation.Pairing");
    return wrapPairing(model([&] { return platform::deviceInformationPairing(model_); }));
  }
  wde::DeviceInformationKind Kind() const { return kind_; }
  UNUSED_MEMBER(Name)
  UNUSED_MEMBER(IsEnabled)
  UNUSED_MEMBER(IsDefault)
  UNUSED_MEMBER(EnclosureLocation)
  UNUSED_MEMBER(Properties)
  UNUSED_MEMBER(Update)
  UNUSED_MEMBER(GetThumbnailAsync)
  UNUSED_MEMBER(GetGlyphThumbnailAsync)
  Ref<platform::DeviceInformation> model_;
  wde::DeviceInformationKind kind_;
};

struct InformationUpdate
    : implements<InformationUpdate, wde::IDeviceInformationUpdate, wde::IDeviceInformationUpdate2> {
  InformationUpdate(hstring id, wde::DeviceInformationKind kind)
      : id_(std::move(id)), kind_(kind) {}
  hstring Id() const {
    trace("DeviceInformationUpdate.Id -> " + quoted(id_));
    return id_;
  }
  wde::DeviceInformationKind Kind() const { return kind_; }
  UNUSED_MEMBER(Properties)
  hstring id_;
  wde::DeviceInformationKind kind_;
};

std::string kindText(wde::DeviceInformationKind kind) {
  return std::to_string(static_cast<int32_t>(kind));
}

struct InformationStatics
    : implements<InformationStatics, wf::IActivationFactory, wde::IDeviceInformationStatics,
                 wde::IDeviceInformationStatics2> {
  wf::IInspectable ActivateInstance() const { throw winrt::hresult_not_implemented(); }

  wde::DeviceWatcher CreateWatcher(const hstring& selector,
                                   const wfc::IIterable<hstring>& properties,
                                   wde::DeviceInformationKind kind) const {
    if (selector != adapterSelector()) return stack::createWatcher(selector, properties, kind);
    if (kind != wde::DeviceInformationKind::DeviceInterface)
      refuse("DeviceInformation.CreateWatcher", invalidArgument,
             "the adapter selector names device interfaces");
    return createAdapterWatcher();
  }
  // The kind is DeviceInterface, the default (DeviceInformationKind).
  wde::DeviceWatcher CreateWatcher(const hstring& selector) const {
    if (selector != adapterSelector()) {
      trace("UNUSED CreateWatcher(selector) " + quoted(selector));
      throw winrt::hresult_not_implemented();
    }
    return createAdapterWatcher();
  }

  // An id alone is looked up as a device interface, the default kind; the world's records are
  // association endpoints, so it finds none (DeviceInformationKind).
  wf::IAsyncOperation<wde::DeviceInformation> CreateFromIdAsync(const hstring& id) const {
    trace("DeviceInformation.CreateFromIdAsync " + quoted(id));
    return notFound("an id alone looks for a device interface");
  }
  wf::IAsyncOperation<wde::DeviceInformation> CreateFromIdAsync(
      const hstring& id, const wfc::IIterable<hstring>&, wde::DeviceInformationKind kind) const {
    trace("DeviceInformation.CreateFromIdAsync " + quoted(id) + " kind=" + kindText(kind));
    if (kind != wde::DeviceInformationKind::AssociationEndpoint)
      return notFound("the world's records are association endpoints");
    return operation<wde::DeviceInformation>(
        "CreateFromIdAsync", platform::createFromIdAsync(units(id)),
        [](Ref<platform::DeviceInformation> info) { return wrapInformation(std::move(info)); });
  }
  template <typename A, typename B>
  Unused CreateFromIdAsync(const A&, const B&) const {
    return {};
  }
  template <typename A, typename B, typename C, typename D>
  Unused CreateFromIdAsync(const A&, const B&, const C&, const D&) const {
    return {};
  }
  Unused CreateWatcher() const { return {}; }
  template <typename A>
  Unused CreateWatcher(const A&) const requires(!std::is_convertible_v<A, hstring>) {
    return {};
  }
  template <typename A, typename B>
  Unused CreateWatcher(const A&, const B&) const {
    return {};
  }
  UNUSED_MEMBER(FindAllAsync)
  UNUSED_MEMBER(GetAqsFilterFromDeviceClass)

  // Refused as Windows refuses it: the operation fails, on a platform thread.
  static wf::IAsyncOperation<wde::DeviceInformation> notFound(const std::string& why) {
    trace("REFUSED DeviceInformation.CreateFromIdAsync " + hex(stack::notFound) + " (" + why + ")");
    auto op = make_self<Op<wde::DeviceInformation>>("CreateFromIdAsync");
    sim::post(0, [op] { op->fail(sim::world().error(stack::notFound)); });
    return op.as<wf::IAsyncOperation<wde::DeviceInformation>>();
  }
};

}  // namespace

wde::DeviceInformation wrapInformation(Ref<platform::DeviceInformation> info,
                                       wde::DeviceInformationKind kind) {
  if (!info) return nullptr;
  return make<Information>(std::move(info), kind).as<wde::DeviceInformation>();
}

wde::DeviceInformationUpdate wrapUpdate(const hstring& id, wde::DeviceInformationKind kind) {
  return make<InformationUpdate>(id, kind).as<wde::DeviceInformationUpdate>();
}

wf::IActivationFactory deviceInformationFactory() {
  return make<InformationStatics>().as<wf::IActivationFactory>();
}

}  // namespace stack
