#include "platform/posix/ceremony.h"

#include "platform/posix/events.h"

namespace posix {

void PairingHandlers::add(PairingHandler handler) {
  std::lock_guard guard(lock);
  handlers.push_back(std::move(handler));
}

std::optional<int32_t> askHandlers(
    PairingHandlers& registrations, uint32_t kinds,
    const platform::Ref<platform::DevicePairingRequestedEventArgs>& request) {
  if ((static_cast<uint32_t>(request->kind) & kinds) == 0) return statusFailed;
  std::vector<PairingHandler> handlers;
  {
    std::lock_guard guard(registrations.lock);
    handlers = registrations.handlers;
  }
  if (handlers.empty()) return statusRequiredHandlerNotRegistered;
  raiseEvent(handlers, request);
  if (!request->accepted) return statusRejectedByHandler;
  return std::nullopt;
}

}  // namespace posix

namespace platform {

int32_t pairingResultStatus(const Ref<DevicePairingResult>& result) {
  return result->status;
}

int32_t pairingRequestKind(const Ref<DevicePairingRequestedEventArgs>& request) {
  return request->kind;
}

String pairingRequestPin(const Ref<DevicePairingRequestedEventArgs>& request) {
  return request->pin;
}

void acceptPairingRequest(const Ref<DevicePairingRequestedEventArgs>& request) {
  if (request->acceptFailure) throw *request->acceptFailure;
  request->accepted = true;
}

}  // namespace platform
