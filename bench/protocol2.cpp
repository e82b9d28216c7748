#include "protocol2.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>

#include "connection/base64.h"
#include "pattern.h"

namespace bench {

double Spread::slowest() const {
  return shares.empty() ? NAN : *std::min_element(shares.begin(), shares.end());
}

namespace {

// Where lane k's bytes start in the pattern, one way and the other: apart, so that bytes
// delivered to the wrong lane or turned around never match.
uint64_t towardHost(size_t k) {
  return k * 40961;
}
uint64_t towardPhone(size_t k) {
  return k * 40961 + 20011;
}

// What the lanes of one run share: their progress, the first failure, and the moment the
// first lane was done.
class LaneRun {
 public:
  LaneRun(size_t lanes, uint64_t eachWay) : eachWay_(eachWay), progress_(lanes), shares_(lanes) {}

  struct Progress {
    std::atomic<uint64_t> toPhone{0}, toHost{0};
    bool done = false;  // under lock_
  };
  Progress& at(size_t k) { return progress_[k]; }
  uint64_t eachWay() const { return eachWay_; }

  // After lane k moved bytes: once both its ways are complete it is done; the first lane
  // done takes the others' progress as the shares.
  void moved(size_t k) {
    Progress& p = progress_[k];
    if (p.toPhone < eachWay_ || p.toHost < eachWay_) return;
    std::lock_guard guard(lock_);
    if (p.done) return;
    p.done = true;
    lastDone_ = now();
    if (first_) return;
    first_ = true;
    std::vector<double> moved;
    for (auto& q : progress_) moved.push_back(static_cast<double>(q.toPhone + q.toHost));
    double mean = std::accumulate(moved.begin(), moved.end(), 0.0) / moved.size();
    for (size_t i = 0; i < moved.size(); ++i) shares_[i] = moved[i] / mean;
  }

  // The first failure wins; `unblock` then makes every thread of the run give up.
  void fail(const std::string& why) {
    {
      std::lock_guard guard(lock_);
      if (!error_.empty()) return;
      error_ = why;
    }
    failed_ = true;
    if (unblock) unblock();
  }
  bool failed() const { return failed_; }
  std::string error() {
    std::lock_guard guard(lock_);
    return error_;
  }
  std::vector<double> shares() {
    std::lock_guard guard(lock_);
    return first_ ? shares_ : std::vector<double>{};
  }
  double lastDone() {
    std::lock_guard guard(lock_);
    return lastDone_;
  }
  std::function<void()> unblock;

 private:
  const uint64_t eachWay_;
  std::vector<Progress> progress_;
  std::mutex lock_;
  std::vector<double> shares_;
  bool first_ = false;
  double lastDone_ = 0;
  std::string error_;
  std::atomic<bool> failed_{false};
};

// The phone's end of lane k: writes its bytes toward the host and checks those that come.
void startPhone(LaneRun& run, size_t k, int phone, std::vector<std::thread>& threads) {
  threads.emplace_back([&run, k, phone] {
    const Pattern& pat = pattern();
    for (uint64_t off = 0; off < run.eachWay() && !run.failed();) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(16384, run.eachWay() - off));
      if (!writeAll(phone, pat.at(towardHost(k) + off), n)) {
        run.fail("phone " + std::to_string(k) + ": its writes failed");
        return;
      }
      off += n;
    }
  });
  threads.emplace_back([&run, k, phone] {
    const Pattern& pat = pattern();
    std::vector<uint8_t> got(1 << 16);
    auto& arrived = run.at(k).toPhone;
    while (arrived < run.eachWay() && !run.failed()) {
      long n = readSome(phone, got.data(), got.size(), stallMs);
      if (n <= 0 || arrived + n > run.eachWay() ||
          !pat.matches(towardPhone(k) + arrived, got.data(), static_cast<size_t>(n))) {
        run.fail("phone " + std::to_string(k) + ": " +
                 (n <= 0 ? "no bytes for 10 s or the link closed"
                         : "bytes differ from what the host sent, at offset " +
                               std::to_string(arrived.load())));
        return;
      }
      arrived += static_cast<uint64_t>(n);
      run.moved(k);
    }
  });
}

void shutDownPhones(const std::vector<Lane>& lanes) {
  for (const Lane& lane : lanes) ::shutdown(lane.phone, SHUT_RDWR);
}

Spread finish(LaneRun& run, std::vector<std::thread>& threads, double t0, double cpu0,
              const std::function<double()>& cpu, size_t lanes) {
  for (auto& t : threads) t.join();
  Spread spread;
  Stream& s = spread.total;
  s.ran = true;
  s.ok = !run.failed();
  s.error = run.error();
  s.seconds = std::max(run.lastDone(), now()) - t0;
  s.cpu = cpu() - cpu0;
  s.bytes = 2 * run.eachWay() * lanes;
  if (s.ok) spread.shares = run.shares();
  return spread;
}

}  // namespace

Spread bothWays(Peer& bridge, std::vector<Lane>& lanes, uint64_t eachWay, size_t chunk,
                size_t window) {
  const Pattern& pat = pattern();
  const size_t count = lanes.size();
  // Each lane's base64 texts of one period, made before the clock starts.
  std::vector<std::vector<std::string>> bodies(count);
  if (Pattern::period % chunk == 0)
    for (size_t k = 0; k < count; ++k)
      for (size_t off = 0; off < Pattern::period; off += chunk)
        bodies[k].push_back(base64Encode({pat.at(towardPhone(k) + off), chunk}));

  LaneRun run(count, eachWay);
  run.unblock = [&] {
    breakPeer(bridge);
    shutDownPhones(lanes);
  };
  // The sends of each lane not yet answered, oldest first: {id, bytes}.
  std::mutex lock;
  std::condition_variable room;
  std::vector<std::deque<std::pair<uint64_t, size_t>>> pending(count);
  std::vector<size_t> unacked(count, 0);
  bool written = false;  // every send is written (under lock)

  std::vector<std::thread> threads;
  double cpu0 = cpuSeconds(bridge.child.pid);
  double t0 = now();
  for (size_t k = 0; k < count; ++k) startPhone(run, k, lanes[k].phone, threads);

  // The host's writer: one send to each lane in turn, skipping a lane whose window is full.
  threads.emplace_back([&] {
    std::vector<uint64_t> offset(count, 0);
    std::string line;
    uint64_t id = 0;
    auto next = [&](size_t k) { return std::min<uint64_t>(chunk, eachWay - offset[k]); };
    auto canSend = [&](size_t k) { return offset[k] < eachWay && unacked[k] + next(k) <= window; };
    for (;;) {
      bool wrote = false, left = false;
      for (size_t k = 0; k < count && !run.failed(); ++k) {
        if (offset[k] >= eachWay) continue;
        left = true;
        size_t n = static_cast<size_t>(next(k));
        {
          std::lock_guard guard(lock);
          if (!canSend(k)) continue;
          pending[k].push_back({id, n});
          unacked[k] += n;
        }
        line = R"({"t":"send","id":)" + std::to_string(id++) + R"(,"addr":")" + lanes[k].addr +
               R"(","b64":")";
        if (n == chunk && !bodies[k].empty())
          line += bodies[k][offset[k] / chunk % bodies[k].size()];
        else
          line += base64Encode({pat.at(towardPhone(k) + offset[k]), n});
        line += "\"}\n";
        if (!writeAll(bridge.child.in, line.data(), line.size())) {
          run.fail("the bridge took no more commands");
          return;
        }
        offset[k] += n;
        wrote = true;
      }
      if (!left || run.failed()) break;
      if (wrote) continue;
      // Every lane with bytes left has a full window: wait for a `sent`.
      std::unique_lock guard(lock);
      bool any = room.wait_for(guard, std::chrono::milliseconds(stallMs), [&] {
        for (size_t k = 0; k < count; ++k)
          if (canSend(k)) return true;
        return run.failed();
      });
      if (!any) {
        guard.unlock();
        run.fail("no sent event for 10 s with every window full");
        return;
      }
    }
    std::lock_guard guard(lock);
    written = true;
  });

  // The host's reader: data events to their lane, `sent` events against their sends.
  threads.emplace_back([&] {
    std::vector<std::string> prefixes;
    for (const Lane& lane : lanes)
      prefixes.push_back(R"({"t":"data","addr":")" + lane.addr + R"(","b64":")");
    const std::string_view sentStart = R"({"t":"sent","id":)";
    std::string expected;
    auto finished = [&] {
      for (size_t k = 0; k < count; ++k)
        if (run.at(k).toHost < eachWay) return false;
      std::lock_guard guard(lock);
      for (const auto& p : pending)
        if (!p.empty()) return false;
      return written;
    };
    while (!run.failed() && !finished()) {
      std::string_view line, b64;
      if (!bridge.lines.next(line, stallMs)) {
        run.fail("no event for 10 s");
        return;
      }
      size_t k = 0;
      if (line.starts_with(sentStart)) {
        std::lock_guard guard(lock);
        for (; k < count; ++k) {
          if (pending[k].empty()) continue;
          auto [id, n] = pending[k].front();
          expected = std::string(sentStart) + std::to_string(id) + R"(,"addr":")" + lanes[k].addr +
                     R"(","bytes":)" + std::to_string(n) + "}";
          if (line == expected) {
            pending[k].pop_front();
            unacked[k] -= n;
            break;
          }
        }
        if (k < count) {
          room.notify_one();
          continue;
        }
      } else {
        while (k < count && !dataPayload(line, prefixes[k], b64)) ++k;
      }
      if (k == count) {
        run.fail("unexpected event: " + shown(line));
        return;
      }
      std::vector<uint8_t> got = base64Decode(b64);
      auto& arrived = run.at(k).toHost;
      if (got.empty() || arrived + got.size() > eachWay ||
          !pat.matches(towardHost(k) + arrived, got.data(), got.size())) {
        run.fail("lane " + std::to_string(k) +
                 ": bytes differ from what its phone wrote, at offset " +
                 std::to_string(arrived.load()));
        return;
      }
      arrived += got.size();
      run.moved(k);
    }
  });
  return finish(
      run, threads, t0, cpu0, [&] { return cpuSeconds(bridge.child.pid); }, count);
}

Spread bothWaysRelayed(std::vector<Lane>& lanes, uint64_t eachWay, size_t chunk) {
  const size_t count = lanes.size();
  LaneRun run(count, eachWay);
  run.unblock = [&] {
    for (Lane& lane : lanes) ::kill(lane.relay.pid, SIGKILL);
    shutDownPhones(lanes);
  };
  auto cpu = [&] {
    double sum = 0;
    for (const Lane& lane : lanes) sum += cpuSeconds(lane.relay.pid);
    return sum;
  };
  std::vector<std::thread> threads;
  double cpu0 = cpu();
  double t0 = now();
  for (size_t k = 0; k < count; ++k) {
    startPhone(run, k, lanes[k].phone, threads);
    threads.emplace_back([&run, &lanes, k, chunk] {
      const Pattern& pat = pattern();
      for (uint64_t off = 0; off < run.eachWay() && !run.failed();) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, run.eachWay() - off));
        if (!writeAll(lanes[k].relay.in, pat.at(towardPhone(k) + off), n)) {
          run.fail("relay " + std::to_string(k) + " took no more bytes");
          return;
        }
        off += n;
      }
    });
    threads.emplace_back([&run, &lanes, k] {
      const Pattern& pat = pattern();
      std::vector<uint8_t> got(1 << 16);
      auto& arrived = run.at(k).toHost;
      while (arrived < run.eachWay() && !run.failed()) {
        long n = readSome(lanes[k].relay.out, got.data(), got.size(), stallMs);
        if (n <= 0 || arrived + n > run.eachWay() ||
            !pat.matches(towardHost(k) + arrived, got.data(), static_cast<size_t>(n))) {
          run.fail("relay " + std::to_string(k) + ": " +
                   (n <= 0 ? "no bytes for 10 s or its output ended"
                           : "bytes differ from what its phone wrote"));
          return;
        }
        arrived += static_cast<uint64_t>(n);
        run.moved(k);
      }
    });
  }
  return finish(run, threads, t0, cpu0, cpu, count);
}

Flood floodUnread(Peer& bridge, uint64_t total, size_t chunk) {
  const Pattern& pat = pattern();
  Flood flood;
  Stream& s = flood.stream;
  s.ran = true;
  const uint64_t sends = total / chunk;
  flood.sends = sends;
  // Send i carries the pattern's bytes at i * chunk.
  std::vector<std::string> bodies;
  for (size_t off = 0; off < Pattern::period; off += chunk)
    bodies.push_back(base64Encode({pat.at(off), chunk}));

  // Protocol 1 answers no send: there every send is taken.
  const bool acked = bridge.protocol == 2;
  const std::string protocol = std::to_string(bridge.protocol);
  std::atomic<bool> writeFailed{false};
  double cpu0 = cpuSeconds(bridge.child.pid);
  double t0 = now();
  std::thread writer([&] {
    std::string line;
    for (uint64_t i = 0; i < sends; ++i) {
      line = R"({"t":"send",)";
      if (acked) line += R"("id":)" + std::to_string(i) + ",";
      line += R"("b64":")" + bodies[i % bodies.size()] + "\"}\n";
      if (!writeAll(bridge.child.in, line.data(), line.size())) {
        writeFailed = true;
        return;
      }
    }
    // Answered at once, so after the refusals of every send before it.
    line = R"({"t":"hello","id":"mark","protocol":)" + protocol + "}\n";
    if (!writeAll(bridge.child.in, line.data(), line.size())) writeFailed = true;
  });

  // Each send is refused with BUSY at once, or taken: its `sent` comes, in order, once the
  // phone has read its bytes.
  enum : char { open, refused, stored };
  std::vector<char> fate(sends, open);
  uint64_t nextStored = 0;  // no `sent` may come for a send before this one
  s.ok = true;
  auto fail = [&](std::string why) {
    if (!s.ok) return;
    s.ok = false;
    s.error = std::move(why);
    breakPeer(bridge);
  };
  const std::string busyEnd = R"(,"addr":")" + bridge.addr + R"(","code":"BUSY",)";
  const std::string sentEnd =
      R"(,"addr":")" + bridge.addr + R"(","bytes":)" + std::to_string(chunk) + "}";
  // One answer to a send; false when it is anything else.
  auto answer = [&](std::string_view line) {
    bool busy = line.starts_with(R"({"t":"error","id":)");
    if (!busy && !line.starts_with(R"({"t":"sent","id":)")) return false;
    size_t at = line.find(':', 12) + 1, end = line.find(',', at);
    uint64_t id = 0;
    for (size_t i = at; i < end; ++i) id = id * 10 + static_cast<uint64_t>(line[i] - '0');
    std::string_view rest = line.substr(std::min(end, line.size()));
    if (end == std::string_view::npos || id >= sends || fate[id] != open) return false;
    if (busy ? !rest.starts_with(busyEnd) : rest != sentEnd || id < nextStored) return false;
    fate[id] = busy ? refused : stored;
    if (busy) ++flood.busy;
    // Long before half of the sends the window and the socket are full, and the one store
    // pending never ends: from then on what the bridge holds should stay put.
    if (id >= sends / 2 && flood.hwmHalfKb < 0)
      flood.hwmHalfKb = statusKb(bridge.child.pid, "VmHWM");
    if (!busy) nextStored = id + 1;
    return true;
  };
  std::string_view line;
  while (s.ok) {
    if (!bridge.lines.next(line, stallMs))
      fail(writeFailed ? "the bridge took no more commands" : "no event for 10 s");
    else if (line.starts_with(R"({"t":"hello","id":"mark","protocol":)" + protocol + ","))
      break;
    else if (!acked || !answer(line))
      fail("unexpected event: " + shown(line));
  }
  writer.join();
  flood.hwmEndKb = statusKb(bridge.child.pid, "VmHWM");
  s.cpu = cpuSeconds(bridge.child.pid) - cpu0;
  s.seconds = now() - t0;
  if (!s.ok) return flood;

  // The phone reads at last: the bytes of the sends taken, in order, and nothing else.
  std::vector<uint8_t> got(1 << 16);
  uint64_t expected = 0, arrived = 0;
  for (char f : fate) expected += f == refused ? 0 : chunk;
  uint64_t send = 0, within = 0;  // where the next byte must come from
  while (s.ok && arrived < expected) {
    long n = readSome(bridge.phone, got.data(), got.size(), stallMs);
    if (n <= 0)
      fail("the phone got " + std::to_string(arrived) + " of " + std::to_string(expected) +
           " bytes");
    for (long i = 0; s.ok && i < n; ++i) {
      while (fate[send] == refused) ++send;
      if (got[static_cast<size_t>(i)] != *pat.at(send * chunk + within))
        fail("the phone got other bytes than the sends taken, at byte " + std::to_string(arrived));
      ++arrived;
      if (++within == chunk) within = 0, ++send;
    }
  }
  while (acked && s.ok && std::find(fate.begin(), fate.end(), open) != fate.end()) {
    if (!bridge.lines.next(line, stallMs))
      fail("a send taken was never answered");
    else if (!answer(line))
      fail("unexpected event: " + shown(line));
  }
  if (s.ok && readSome(bridge.phone, got.data(), got.size(), 100) > 0)
    fail("the phone got more bytes than the sends taken");
  s.bytes = expected;
  return flood;
}

}  // namespace bench
