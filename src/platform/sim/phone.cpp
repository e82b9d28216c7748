#include "platform/sim/phone.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/sim/live_socket.h"
#include "platform/sim/runtime.h"
#include "platform/sim/state.h"

namespace sim {

std::shared_ptr<Link> Link::open(const Device& device) {
  auto link = std::make_shared<Link>(device);
  if (device.phone == PhoneMode::live) {
    link->fd_ = live::connect(device.livePath);
    if (link->fd_ == live::none) throw world().error(linkRefused);
    std::thread([link] { link->runLiveReader(); }).detach();
  }
  // Off air every link is lost; a phone that goes away loses its own.
  link->mark_ = since(device.address);
  onOutage(link, [self = link.get(), address = device.address](const Outage& outage) {
    if (!outage.phone)
      self->drop(networkDown);
    else if (*outage.phone == address)
      self->drop(linkAborted);
  });
  std::thread([link] { link->runWriter(); }).detach();
  if (!device.onConnect.empty()) std::thread([link] { link->runScript(); }).detach();
  return link;
}

Link::~Link() {
  if (fd_ != live::none) live::close(fd_);
}

uint32_t Link::commitLocked(uint32_t count, bool partial) {
  size_t available = inbound_.size() - head_ - loaded_;
  if (available == 0 || (!partial && available < count && !phoneClosed_)) return 0;
  auto taken = static_cast<uint32_t>(std::min<size_t>(available, count));
  loaded_ += taken;
  return taken;
}

platform::Async<uint32_t> Link::load(uint32_t count, bool partial) {
  std::lock_guard guard(lock_);
  if (closed_) return platform::Async<uint32_t>::failed(world().error(objectClosed));
  if (pendingLoad_) return platform::Async<uint32_t>::failed(world().error(illegalCall));
  // What arrived before the link failed is still read; nothing more will come.
  if (uint32_t n = commitLocked(count, partial || broken_))
    return platform::Async<uint32_t>::ready(n);
  if (broken_) return platform::Async<uint32_t>::failed(world().error(*broken_));
  if (phoneClosed_) return platform::Async<uint32_t>::ready(0u);
  auto [op, done] = platform::Async<uint32_t>::pending();
  pendingLoad_ = done;
  pendingCount_ = count;
  pendingPartial_ = partial;
  return std::move(op);
}

void Link::read(std::span<uint8_t> out) {
  std::lock_guard guard(lock_);
  if (out.size() > loaded_) throw world().error(illegalCall);
  std::memcpy(out.data(), inbound_.data() + head_, out.size());
  head_ += out.size();
  loaded_ -= out.size();
  if (head_ == inbound_.size()) {
    inbound_.clear();
    head_ = 0;
  } else if (head_ > (1u << 16) && head_ * 2 > inbound_.size()) {
    inbound_.erase(0, head_);
    head_ = 0;
  }
}

void Link::write(std::span<const uint8_t> bytes) {
  std::lock_guard guard(lock_);
  // The real writer documents no write while its store is pending.
  if (storing_) throw world().error(illegalCall);
  output_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

platform::Async<uint32_t> Link::store() {
  std::unique_lock guard(lock_);
  if (closed_) return platform::Async<uint32_t>::failed(world().error(objectClosed));
  if (storing_) return platform::Async<uint32_t>::failed(world().error(illegalCall));
  storing_ = true;
  // output_ takes over the buffer the last store emptied, with its capacity.
  storeBytes_.swap(output_);
  storeSent_.reset();
  guard.unlock();
  if (world().completions == Completions::atOnce) {
    // The phone takes the bytes inside this call; an echo completes a pending load here too.
    const size_t size = storeBytes_.size();
    auto fault = toPhone(storeBytes_);
    guard.lock();
    endStoreLocked();
    if (fault) return platform::Async<uint32_t>::failed(world().error(*fault));
    return platform::Async<uint32_t>::ready(static_cast<uint32_t>(size));
  }
  if (auto done = storeAtOnce()) return std::move(*done);
  guard.lock();
  // Closed meanwhile: the writer thread may have ended already.
  if (closed_) {
    endStoreLocked();
    return platform::Async<uint32_t>::failed(world().error(objectClosed));
  }
  auto [op, done] = platform::Async<uint32_t>::pending();
  storeDone_ = done;
  storeQueued_.notify_one();
  return std::move(op);
}

void Link::endStoreLocked() {
  storing_ = false;
  // Kept for the next store, unless a long burst made it large.
  if (storeBytes_.capacity() > (1u << 18))
    std::string().swap(storeBytes_);
  else
    storeBytes_.clear();
}

// A live phone with nothing scripted about its stores: the bytes go into its socket on the
// calling thread as far as the socket has room, so a store costs no thread switch. The rest,
// if any, is left to the writer thread (storeSent_ says how far this got).
std::optional<platform::Async<uint32_t>> Link::storeAtOnce() {
  using Result = platform::Async<uint32_t>;
  if (device_.phone != PhoneMode::live || device_.storeError || device_.closeAfterBytes ||
      device_.dropAfterBytes || device_.storeDelayMs)
    return std::nullopt;
  // storeBytes_ belongs to this store until it ends.
  const std::string& bytes = storeBytes_;
  const size_t size = bytes.size();
  // The phone has not taken the last bytes yet: there is no hurry, and the sends that come
  // while the writer thread waits go out together in the next store.
  if (size > 0 && !live::drained(fd_)) return std::nullopt;
  auto finish = [&](std::optional<int32_t> fault) -> Result {
    std::lock_guard guard(lock_);
    endStoreLocked();
    if (fault) return Result::failed(world().error(*fault));
    stored_ += size;
    return Result::ready(static_cast<uint32_t>(size));
  };
  std::optional<int32_t> refused;
  {
    std::lock_guard guard(lock_);
    if (closed_)
      refused = objectClosed;
    else if (broken_)
      refused = broken_;
    else if (phoneClosed_)
      refused = linkReset;
    else
      received_ += size;
  }
  if (refused) return finish(refused);
  size_t sent = 0;
  while (sent < size) {
    long n = live::sendSome(fd_, bytes.data() + sent, size - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n == 0) {
      std::lock_guard guard(lock_);
      storeSent_ = sent;
      return std::nullopt;
    } else {
      return finish(brokenOr(linkReset));
    }
  }
  return finish(std::nullopt);
}

void Link::close() {
  platform::Completion<uint32_t> pending;
  {
    std::lock_guard guard(lock_);
    if (closed_) return;
    closed_ = true;
    pending = std::exchange(pendingLoad_, {});
    storeQueued_.notify_one();
    // The live phone sees the end of the stream; its reader thread wakes and ends.
    if (fd_ != live::none) live::shutdown(fd_);
  }
  // Completed on a platform thread of its own (inside this call with `completions at-once`).
  if (pending) post(0, [pending] { pending.fail(world().error(loadCanceled)); });
}

void Link::toBridge(const char* bytes, size_t count) {
  platform::Completion<uint32_t> done;
  uint32_t n = 0;
  {
    std::lock_guard guard(lock_);
    if (closed_ || broken_ || phoneClosed_) return;
    n = arriveLocked(bytes, count, done);
  }
  if (done) done.complete(n);
}

uint32_t Link::arriveLocked(const char* bytes, size_t count, platform::Completion<uint32_t>& done) {
  inbound_.append(bytes, count);
  uint32_t n = 0;
  if (pendingLoad_ && (n = commitLocked(pendingCount_, pendingPartial_)))
    done = std::exchange(pendingLoad_, {});
  return n;
}

void Link::phoneCloses() {
  platform::Completion<uint32_t> done;
  uint32_t n = 0;
  {
    std::lock_guard guard(lock_);
    if (closed_ || broken_ || phoneClosed_) return;
    phoneClosed_ = true;
    if (pendingLoad_) {
      n = commitLocked(pendingCount_, pendingPartial_);
      done = std::exchange(pendingLoad_, {});
    }
  }
  if (done) done.complete(n);
}

// The bytes that arrived before stay for the reader; the link carries nothing more.
void Link::drop(int32_t code) {
  platform::Completion<uint32_t> done;
  uint32_t n = 0;
  {
    std::lock_guard guard(lock_);
    if (closed_ || broken_) return;
    broken_ = code;
    if (pendingLoad_) {
      n = commitLocked(pendingCount_, true);
      done = std::exchange(pendingLoad_, {});
    }
    if (fd_ != live::none) live::shutdown(fd_);
  }
  if (!done) return;
  if (n)
    done.complete(n);
  else
    done.fail(world().error(code));
}

int32_t Link::brokenOr(int32_t code) {
  std::lock_guard guard(lock_);
  return broken_.value_or(code);
}

// Delivers one store's bytes to the phone's application; the failure code, if the store fails.
std::optional<int32_t> Link::toPhone(const std::string& bytes) {
  size_t take = bytes.size();
  bool closeAfter = false, dropAfter = false;
  platform::Completion<uint32_t> echoed;
  uint32_t loaded = 0;
  {
    std::lock_guard guard(lock_);
    if (closed_) return objectClosed;
    if (broken_) return broken_;
    if (phoneClosed_) return linkReset;
    if (device_.storeError && stored_ >= device_.storeErrorAfterBytes) return device_.storeError;
    auto limit = [&](const std::optional<uint64_t>& after, bool& reached) {
      if (!after) return;
      uint64_t room = *after > received_ ? *after - received_ : 0;
      if (room <= take) take = static_cast<size_t>(room), reached = true;
    };
    limit(device_.closeAfterBytes, closeAfter);
    limit(device_.dropAfterBytes, dropAfter);
    received_ += take;
    // The echo is on its way back by the time the store completes: a link lost later still
    // delivers it.
    if (device_.phone == PhoneMode::echo) loaded = arriveLocked(bytes.data(), take, echoed);
  }
  if (echoed) echoed.complete(loaded);
  if (device_.phone == PhoneMode::live) {
    if (!sendLive(bytes.data(), take)) return brokenOr(linkReset);
  }
  if (dropAfter) drop(linkAborted);
  if (closeAfter) phoneCloses();
  if (take < bytes.size()) return dropAfter ? linkAborted : linkReset;
  std::lock_guard guard(lock_);
  stored_ += take;
  return std::nullopt;
}

// Waits for room in a live phone's socket as long as it takes; false when the phone is gone.
bool Link::sendLive(const char* data, size_t size) {
  return live::sendAll(fd_, data, size);
}

// The part of a store that storeAtOnce could not hand over at once.
std::optional<int32_t> Link::sendRest(const std::string& bytes, size_t sent) {
  {
    std::lock_guard guard(lock_);
    if (closed_) return objectClosed;
    if (broken_) return broken_;
  }
  if (!sendLive(bytes.data() + sent, bytes.size() - sent)) return brokenOr(linkReset);
  return std::nullopt;
}

void Link::runWriter() {
  for (;;) {
    std::optional<size_t> sent;
    platform::Completion<uint32_t> done;
    {
      std::unique_lock guard(lock_);
      storeQueued_.wait(guard, [&] { return storeDone_ || closed_; });
      if (!storeDone_) return;
      sent = std::exchange(storeSent_, std::nullopt);
      done = std::exchange(storeDone_, {});
    }
    // A link lost meanwhile fails the store at once.
    waitOnAir(device_.storeDelayMs, mark_);
    // storeBytes_ belongs to the pending store until it ends.
    const size_t size = storeBytes_.size();
    auto fault = sent ? sendRest(storeBytes_, *sent) : toPhone(storeBytes_);
    {
      // Free for the next store before the awaiting task resumes, so it may store at once.
      std::lock_guard guard(lock_);
      endStoreLocked();
      if (sent && !fault) stored_ += size;
    }
    if (fault)
      done.fail(world().error(*fault));
    else
      done.complete(static_cast<uint32_t>(size));
  }
}

void Link::runScript() {
  for (const auto& step : device_.onConnect) {
    switch (step.kind) {
      case PhoneStep::send:
        toBridge(step.bytes.data(), step.bytes.size());
        break;
      case PhoneStep::burst: {
        std::string burst(step.count, '\0');
        for (uint64_t i = 0; i < step.count; ++i) burst[i] = static_cast<char>(i % 251);
        toBridge(burst.data(), burst.size());
        break;
      }
      case PhoneStep::wait:
        sleepMs(static_cast<double>(step.count));
        break;
      case PhoneStep::close:
        phoneCloses();
        break;
      case PhoneStep::drop:
        drop(linkAborted);
        break;
    }
  }
}

void Link::runLiveReader() {
  char buffer[1 << 16];
  for (;;) {
    long n = live::receive(fd_, buffer, sizeof buffer);
    if (n > 0) {
      toBridge(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      phoneCloses();  // ignored once the bridge has closed its side
      return;
    } else {
      drop(linkReset);
      return;
    }
  }
}

}  // namespace sim
