#include "platform/sim/state.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sim/runtime.h"
#include "platform/sim/world.h"

namespace sim {

namespace {

using platform::AdapterState;

// How long a change waits for the followers to hear of it before it fails the work in flight:
// they hear first, so the bridge learns why its operations fail, but a follower stuck on a
// host that does not read must not hold the world up.
constexpr double announceWaitMs = 1000;

struct Follower {
  Token token;
  uint64_t from;  // announcements up to this one were before the follower came
  AdapterState last;
  std::function<void(const AdapterNow&)> changed;
};

struct Hook {
  std::weak_ptr<const void> owner;
  std::function<void(const Outage&)> run;
};

// Never destroyed: platform threads may use it while the process ends.
class State {
 public:
  explicit State(const World& w)
      : plugged_(w.adapter != AdapterKind::absent),
        radio_(w.radioOn),
        probeFails_(w.adapter == AdapterKind::failing) {
    air_ = nowLocked().state;
    for (const auto& d : w.devices) inRange_[d.address] = d.inRange;
    std::thread([this] { announceLoop(); }).detach();
  }

  AdapterNow now() {
    std::lock_guard guard(lock_);
    return nowLocked();
  }
  bool probeFails() {
    std::lock_guard guard(lock_);
    return probeFails_;
  }
  bool inRange(uint64_t address) {
    std::lock_guard guard(lock_);
    auto it = inRange_.find(address);
    return it == inRange_.end() || it->second;
  }

  std::pair<AdapterNow, Token> follow(std::function<void(const AdapterNow&)> changed) {
    std::lock_guard guard(lock_);
    AdapterNow now = nowLocked();
    Token token = ++lastToken_;
    followers_.push_back({token, announced_, now.state, std::move(changed)});
    return {now, token};
  }
  void unfollow(Token token) {
    std::lock_guard guard(lock_);
    std::erase_if(followers_, [&](const Follower& f) { return f.token == token; });
  }

  Since since(uint64_t address) {
    std::lock_guard guard(lock_);
    return {offAir_, gone_[address], address};
  }
  AdapterState air() {
    std::lock_guard guard(lock_);
    return air_;
  }
  Loss lost(const Since& mark) {
    std::lock_guard guard(lock_);
    if (air_ != AdapterState::on || offAir_ != mark.offAir) return Loss::offAir;
    if (mark.address) {
      auto it = gone_.find(mark.address);
      if (it != gone_.end() && it->second != mark.phone) return Loss::phone;
    }
    return Loss::none;
  }

  void onOutage(std::weak_ptr<const void> owner, std::function<void(const Outage&)> hook) {
    std::lock_guard guard(lock_);
    std::erase_if(hooks_, [](const Hook& h) { return h.owner.expired(); });
    hooks_.push_back({std::move(owner), std::move(hook)});
  }

  // One change of the adapter: `change` runs under the lock. The operations on the air see
  // an adapter that works before anyone hears of it, and one that went away only once the
  // followers have heard: either way the bridge is never surprised by its own operations.
  template <typename Change>
  void changeAdapter(Change change) {
    uint64_t announcement = 0;
    AdapterNow after;
    {
      std::lock_guard guard(lock_);
      AdapterNow before = nowLocked();
      change();
      after = nowLocked();
      if (after.state == before.state && after.instance == before.instance) return;
      if (after.state == AdapterState::on) air_ = AdapterState::on;
      announcement = ++announced_;
      queue_.push_back({announcement, after});
      queued_.notify_one();
    }
    waitUntil(announceWaitMs, [&] {
      std::lock_guard guard(lock_);
      return delivered_ >= announcement;
    });
    if (after.state == AdapterState::on) return;
    {
      std::lock_guard guard(lock_);
      air_ = after.state;
      ++offAir_;
    }
    wakeWaiters();
    runHooks(Outage{after.state == AdapterState::absent, std::nullopt});
  }

  void setRadio(bool on) {
    changeAdapter([&] { radio_ = on; });
  }
  void plug(bool in) {
    changeAdapter([&] {
      if (in == plugged_) return;
      plugged_ = in;
      if (in) {
        ++instance_;
        probeFails_ = false;
      }
    });
  }
  void stack(bool up) {
    changeAdapter([&] { stackUp_ = up; });
  }

  bool setPhone(uint64_t address, bool on) {
    {
      std::lock_guard guard(lock_);
      auto it = inRange_.find(address);
      if (it == inRange_.end()) return false;
      if (it->second == on) return true;
      it->second = on;
      if (!on) ++gone_[address];
    }
    if (!on) {
      wakeWaiters();
      runHooks(Outage{false, address});
    }
    return true;
  }

 private:
  AdapterNow nowLocked() const {
    AdapterState state = !(plugged_ && stackUp_) ? AdapterState::absent
                         : radio_                ? AdapterState::on
                                                 : AdapterState::off;
    return {state, instance_};
  }

  void runHooks(const Outage& outage) {
    std::vector<std::pair<std::shared_ptr<const void>, std::function<void(const Outage&)>>> live;
    {
      std::lock_guard guard(lock_);
      std::erase_if(hooks_, [](const Hook& h) { return h.owner.expired(); });
      for (const auto& h : hooks_)
        if (auto owner = h.owner.lock()) live.emplace_back(std::move(owner), h.run);
    }
    for (const auto& [owner, run] : live) run(outage);
  }

  // The model's own thread: tells the followers of each new state, in order.
  void announceLoop() {
    std::unique_lock guard(lock_);
    for (;;) {
      queued_.wait(guard, [&] { return !queue_.empty(); });
      auto [announcement, now] = queue_.front();
      queue_.pop_front();
      std::vector<std::function<void(const AdapterNow&)>> calls;
      for (auto& f : followers_) {
        if (announcement <= f.from || now.state == f.last) continue;
        f.last = now.state;
        calls.push_back(f.changed);
      }
      guard.unlock();
      for (const auto& changed : calls) changed(now);
      guard.lock();
      delivered_ = announcement;
      guard.unlock();
      wakeWaiters();
      guard.lock();
    }
  }

  std::mutex lock_;  // guards everything below
  bool plugged_;
  bool stackUp_ = true;
  bool radio_;
  bool probeFails_;
  uint32_t instance_ = 1;
  AdapterState air_;     // the adapter as the operations on the air see it
  uint64_t offAir_ = 0;  // times it left "on"
  std::map<uint64_t, bool> inRange_;
  std::map<uint64_t, uint64_t> gone_;  // times each phone went away
  std::vector<Follower> followers_;
  Token lastToken_ = 0;
  std::deque<std::pair<uint64_t, AdapterNow>> queue_;
  std::condition_variable queued_;
  uint64_t announced_ = 0;
  uint64_t delivered_ = 0;
  std::vector<Hook> hooks_;
};

State& state() {
  static auto* instance = new State(world());
  return *instance;
}

}  // namespace

AdapterNow adapterNow() {
  return state().now();
}

AdapterState airState() {
  return state().air();
}

bool onAir() {
  return airState() == AdapterState::on;
}

bool inRange(uint64_t address) {
  return state().inRange(address);
}

bool probeFails() {
  return state().probeFails();
}

std::pair<AdapterNow, Token> followAdapter(std::function<void(const AdapterNow&)> changed) {
  return state().follow(std::move(changed));
}

void unfollow(Token token) {
  state().unfollow(token);
}

Since since(uint64_t address) {
  return state().since(address);
}

Loss lost(const Since& mark) {
  return state().lost(mark);
}

Loss waitOnAir(double ms, const Since& mark) {
  Loss loss = Loss::none;
  waitUntil(ms, [&] { return (loss = lost(mark)) != Loss::none; });
  return loss;
}

void onOutage(std::weak_ptr<const void> owner, std::function<void(const Outage&)> hook) {
  state().onOutage(std::move(owner), std::move(hook));
}

void switchRadio(bool on) {
  state().setRadio(on);
}

void removeAdapter() {
  state().plug(false);
}

void addAdapter() {
  state().plug(true);
}

bool switchPhone(uint64_t address, bool on) {
  return state().setPhone(address, on);
}

void restartStack() {
  state().stack(false);
  sleepMs(world().stackRestartMs);
  state().stack(true);
}

}  // namespace sim
