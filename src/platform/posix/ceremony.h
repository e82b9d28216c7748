#pragma once
// The pairing pieces the Linux backends share: the request the core's PairingRequested handlers
// see, the result, and the rules by which a ceremony goes to those handlers, as the Windows
// Runtime has them.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/platform.h"

namespace platform {

struct DevicePairingRequestedEventArgs {
  int32_t kind = 0;
  String pin;
  // The failure Accept meets when the platform turns it down; none on a sound radio.
  std::optional<hresult_error> acceptFailure;
  std::atomic<bool> accepted{false};
};

struct DevicePairingResult {
  int32_t status = 0;
};

}  // namespace platform

namespace posix {

// DevicePairingResultStatus values the ceremony itself ends with.
inline constexpr int32_t statusRequiredHandlerNotRegistered = 16;
inline constexpr int32_t statusRejectedByHandler = 17;
inline constexpr int32_t statusFailed = 19;

using PairingHandler =
    std::function<void(const platform::Ref<platform::DevicePairingRequestedEventArgs>&)>;

// The PairingRequested registrations of one custom-pairing object, for that object's life.
struct PairingHandlers {
  std::mutex lock;  // guards handlers
  std::vector<PairingHandler> handlers;

  void add(PairingHandler handler);
};

// Puts `request` to the handlers, on the calling platform thread. Nothing when one of them
// accepted it; otherwise the status the pairing ends with: Failed for a kind the caller did not
// offer in `kinds` (no handler runs), RequiredHandlerNotRegistered with no handler, else
// RejectedByHandler. A handler's hresult_error goes back to the platform: the request simply
// goes unaccepted.
std::optional<int32_t> askHandlers(
    PairingHandlers& registrations, uint32_t kinds,
    const platform::Ref<platform::DevicePairingRequestedEventArgs>& request);

}  // namespace posix
