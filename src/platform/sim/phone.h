#pragma once
// One simulated RFCOMM link: the bytes in flight both ways and the phone's application at its
// far end (echo, silent, scripted steps, or a live peer on a Unix-domain socket).
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "platform/platform.h"
#include "platform/sim/live_socket.h"
#include "platform/sim/state.h"
#include "platform/sim/world.h"

namespace sim {

// The codes the link fails with, as Winsock and the runtime report them.
inline constexpr int32_t linkAborted = static_cast<int32_t>(0x80072745);   // WSAECONNABORTED
inline constexpr int32_t linkReset = static_cast<int32_t>(0x80072746);     // WSAECONNRESET
inline constexpr int32_t linkRefused = static_cast<int32_t>(0x8007274D);   // WSAECONNREFUSED
inline constexpr int32_t loadCanceled = static_cast<int32_t>(0x800704C7);  // ERROR_CANCELLED
inline constexpr int32_t objectClosed = static_cast<int32_t>(0x80000013);  // RO_E_CLOSED
inline constexpr int32_t illegalCall = static_cast<int32_t>(0x8000000E);   // E_ILLEGAL_METHOD_CALL
// Off air: an open link fails as on a dead network; a connect finds no way to the phone.
inline constexpr int32_t networkDown = static_cast<int32_t>(0x80072742);         // WSAENETDOWN
inline constexpr int32_t networkUnreachable = static_cast<int32_t>(0x80072743);  // WSAENETUNREACH
// Nothing answered the page: the phone is off or out of range.
inline constexpr int32_t pageTimeout = static_cast<int32_t>(0x8007274C);  // WSAETIMEDOUT

class Link : public std::enable_shared_from_this<Link> {
 public:
  // Opens the link to the device's phone and starts its application. A live phone whose
  // socket nobody listens on refuses with linkRefused. The link is lost (networkDown) when the
  // radio goes off air, and (linkAborted) when its phone goes away.
  static std::shared_ptr<Link> open(const Device& device);
  explicit Link(const Device& device) : device_(device) {}
  ~Link();

  // Reader side. Completes at once when bytes are there, otherwise on the thread that
  // delivers them; with `partial` false only once `count` bytes (or the end) are there.
  platform::Async<uint32_t> load(uint32_t count, bool partial);
  // Takes out.size() loaded bytes.
  void read(std::span<uint8_t> out);

  // Writer side. `write` buffers; `store` hands the buffer to the link's writer thread and
  // completes there, or completes at once when a live phone's socket takes it all. Like the
  // real DataWriter, a second store while one is pending is refused, and so is a write.
  void write(std::span<const uint8_t> bytes);
  platform::Async<uint32_t> store();

  // The bridge closes its socket: a pending load fails promptly (on a platform thread), later
  // loads and stores fail, the phone sees the end of the stream.
  void close();

 private:
  // The phone's side.
  void toBridge(const char* bytes, size_t count);
  // Bytes from the phone join the inbound ones; the pending load they complete, if any, is
  // left in `done` with its count.
  uint32_t arriveLocked(const char* bytes, size_t count, platform::Completion<uint32_t>& done);
  void phoneCloses();
  void drop(int32_t code);
  // The code the link failed with, or `code` when it has not.
  int32_t brokenOr(int32_t code);
  std::optional<int32_t> toPhone(const std::string& bytes);
  std::optional<platform::Async<uint32_t>> storeAtOnce();
  void endStoreLocked();
  std::optional<int32_t> sendRest(const std::string& bytes, size_t sent);
  bool sendLive(const char* data, size_t size);
  void runWriter();
  void runScript();
  void runLiveReader();
  uint32_t commitLocked(uint32_t count, bool partial);

  const Device& device_;
  live::Handle fd_ = live::none;  // live phone only; closed with the link
  Since mark_;                    // when the link opened

  std::mutex lock_;  // guards everything below
  std::condition_variable storeQueued_;
  // Phone to bridge: bytes not yet taken; the first `loaded_` after `head_` belong to the
  // reader's completed loads.
  std::string inbound_;
  size_t head_ = 0;
  size_t loaded_ = 0;
  platform::Completion<uint32_t> pendingLoad_;
  uint32_t pendingCount_ = 0;
  bool pendingPartial_ = true;
  bool phoneClosed_ = false;
  std::optional<int32_t> broken_;  // the link dropped with this code
  bool closed_ = false;            // the bridge closed its socket
  // Bridge to phone.
  std::string output_;  // written, not yet stored
  bool storing_ = false;
  std::string storeBytes_;  // the pending store's bytes, owned by it until it ends
  // Set when storeAtOnce began the store: the bytes of storeBytes_ already on the socket.
  std::optional<size_t> storeSent_;
  platform::Completion<uint32_t> storeDone_;
  uint64_t received_ = 0;  // bytes the phone's application took
  uint64_t stored_ = 0;    // bytes of successful stores
};

}  // namespace sim
