#include "phases.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <thread>

#include "connection/base64.h"
#include "pattern.h"

namespace bench {

std::string Peer::dataPrefix() const {
  if (protocol == 1) return R"({"t":"data","b64":")";
  return R"({"t":"data","addr":")" + addr + R"(","b64":")";
}

bool dataPayload(std::string_view line, std::string_view prefix, std::string_view& b64) {
  if (line.size() < prefix.size() + 2 || line.substr(0, prefix.size()) != prefix ||
      line.substr(line.size() - 2) != "\"}")
    return false;
  b64 = line.substr(prefix.size(), line.size() - prefix.size() - 2);
  return true;
}

std::string shown(std::string_view line) {
  return std::string(line.substr(0, 120)) + (line.size() > 120 ? "..." : "");
}

void breakPeer(Peer& peer) {
  if (peer.child.pid > 0) ::kill(peer.child.pid, SIGKILL);
}

bool unclaimedSent(const Peer& peer, std::string_view line) {
  std::string_view start = R"({"t":"sent","addr":")";
  return line.starts_with(start) && line.substr(start.size()).starts_with(peer.addr);
}

bool sayHello(Peer& peer, int protocol, std::string& error) {
  std::string hello = R"({"t":"hello","protocol":)" + std::to_string(protocol) + "}\n";
  std::string_view answer;
  bool answered = writeAll(peer.child.in, hello.data(), hello.size());
  while (answered && (answered = peer.lines.next(answer, stallMs)) && unclaimedSent(peer, answer))
    continue;
  if (!answered) {
    error = "no answer to hello";
    return false;
  }
  std::string expected = R"({"t":"hello","protocol":)" + std::to_string(protocol) + ",";
  if (!answer.starts_with(expected)) {
    error = "hello answered with " + shown(answer);
    return false;
  }
  peer.protocol = protocol;
  return true;
}

namespace {

std::string sendLine(const uint8_t* bytes, size_t n) {
  return R"({"t":"send","b64":")" + base64Encode({bytes, n}) + "\"}\n";
}

// Receives the next bytes as the host sees them: decoded data events from the bridge (lines
// starting with `prefix`), raw bytes from the relay. Puts them in `out`; false with `error`
// set on anything else.
bool receiveAtHost(Peer& peer, std::string_view prefix, std::vector<uint8_t>& out,
                   std::string& error, uint64_t& events) {
  if (peer.framed) {
    std::string_view line, b64;
    do {
      if (!peer.lines.next(line, stallMs)) {
        error = "no event for " + std::to_string(stallMs / 1000) + " s";
        return false;
      }
    } while (peer.protocol == 2 && unclaimedSent(peer, line));
    if (!dataPayload(line, prefix, b64)) {
      error = "unexpected event: " + shown(line);
      return false;
    }
    out = base64Decode(b64);
    ++events;
    if (out.empty()) {
      error = "a data event with no bytes";
      return false;
    }
    return true;
  }
  out.resize(1 << 16);
  long n = readSome(peer.child.out, out.data(), out.size(), stallMs);
  if (n <= 0) {
    error = n == 0 ? "the relay ended its output" : "no bytes for 10 s";
    return false;
  }
  out.resize(static_cast<size_t>(n));
  return true;
}

// Protocol 2's acknowledged sends on one link, as the host sees them: the sends not yet
// answered, in order, and the `sent` event each of them must bring.
class Acks {
 public:
  explicit Acks(Peer& peer) : peer_(peer) {}
  void expect(uint64_t id, size_t bytes) {
    pending_.push_back({id, bytes});
    unacked_ += bytes;
  }
  size_t unacked() const { return unacked_; }
  // Waits for the next event, which must be the `sent` of the oldest send; false with
  // `error` set otherwise.
  bool take(std::string& error) {
    std::string_view line;
    do {
      if (!peer_.lines.next(line, stallMs)) {
        error = "no sent event for " + std::to_string(stallMs / 1000) + " s";
        return false;
      }
    } while (unclaimedSent(peer_, line));
    if (pending_.empty()) {
      error = "unexpected event: " + shown(line);
      return false;
    }
    auto [id, bytes] = pending_.front();
    expected_ = R"({"t":"sent","id":)" + std::to_string(id) + R"(,"addr":")" + peer_.addr +
                R"(","bytes":)" + std::to_string(bytes) + "}";
    if (line != expected_) {
      error = "expected " + expected_ + ", got " + shown(line);
      return false;
    }
    pending_.pop_front();
    unacked_ -= bytes;
    return true;
  }

 private:
  Peer& peer_;
  std::deque<std::pair<uint64_t, size_t>> pending_;
  size_t unacked_ = 0;
  std::string expected_;
};

void paceTo(double start, double rate, uint64_t offset) {
  if (rate <= 0) return;
  double due = start + offset / rate;
  double wait = due - now();
  if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
}

}  // namespace

Stream phoneToHost(Peer& peer, uint64_t total, size_t chunk, double rate) {
  const Pattern& pat = pattern();
  Stream s;
  s.ran = true;
  double cpu0 = cpuSeconds(peer.child.pid);
  double t0 = now();
  std::thread writer([&] {
    for (uint64_t off = 0; off < total;) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, total - off));
      paceTo(t0, rate, off);
      if (!writeAll(peer.phone, pat.at(off), n)) return;
      off += n;
    }
  });
  std::vector<uint8_t> got;
  const std::string prefix = peer.dataPrefix();
  s.ok = true;
  while (s.bytes < total) {
    if (!receiveAtHost(peer, prefix, got, s.error, s.events)) {
      s.ok = false;
      break;
    }
    if (!pat.matches(s.bytes, got.data(), got.size()) || s.bytes + got.size() > total) {
      s.error = "bytes differ from what the phone wrote, at offset " + std::to_string(s.bytes);
      s.ok = false;
      break;
    }
    s.bytes += got.size();
  }
  s.seconds = now() - t0;
  s.cpu = cpuSeconds(peer.child.pid) - cpu0;
  if (!s.ok) breakPeer(peer);
  writer.join();
  return s;
}

Stream hostToPhone(Peer& peer, uint64_t total, size_t chunk, double rate, size_t window) {
  const Pattern& pat = pattern();
  const bool acked = peer.framed && peer.protocol == 2;
  // The lines (in protocol 2 the base64 texts) of one period, made before the clock starts,
  // when the chunk fits the period.
  std::vector<std::string> lines;
  bool cached = peer.framed && Pattern::period % chunk == 0;
  if (cached)
    for (size_t off = 0; off < Pattern::period; off += chunk)
      lines.push_back(acked ? base64Encode({pat.at(off), chunk}) : sendLine(pat.at(off), chunk));

  Stream s;
  s.ran = true;
  std::atomic<bool> writeFailed{false};
  std::string ackError;
  double acksDone = 0;
  double cpu0 = cpuSeconds(peer.child.pid);
  double t0 = now();
  std::thread writer([&] {
    Acks acks(peer);
    std::string line;
    uint64_t i = 0;
    for (uint64_t off = 0; off < total; off += chunk, ++i) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, total - off));
      paceTo(t0, rate, off);
      bool ok;
      if (!peer.framed) {
        ok = writeAll(peer.child.in, pat.at(off), n);
      } else if (acked) {
        // A host that keeps within the window reads `sent` events whenever it is full.
        while (acks.unacked() + n > window)
          if (!acks.take(ackError)) break;
        if (!ackError.empty()) break;
        line = R"({"t":"send","id":)" + std::to_string(i) + R"(,"b64":")";
        if (cached && n == chunk)
          line += lines[i % lines.size()];
        else
          line += base64Encode({pat.at(off), n});
        line += "\"}\n";
        acks.expect(i, n);
        ok = writeAll(peer.child.in, line.data(), line.size());
      } else if (cached && n == chunk) {
        const std::string& cachedLine = lines[i % lines.size()];
        ok = writeAll(peer.child.in, cachedLine.data(), cachedLine.size());
      } else {
        std::string text = sendLine(pat.at(off), n);
        ok = writeAll(peer.child.in, text.data(), text.size());
      }
      if (!ok) {
        writeFailed = true;
        return;
      }
    }
    while (ackError.empty() && acks.unacked() > 0) acks.take(ackError);
    acksDone = now();
    // The phone would wait for bytes that never come.
    if (!ackError.empty()) breakPeer(peer);
  });
  std::vector<uint8_t> got(1 << 16);
  s.ok = true;
  while (s.bytes < total) {
    long n = readSome(peer.phone, got.data(), got.size(), stallMs);
    if (n <= 0) {
      s.error = n == 0 ? "the link closed" : "no bytes at the phone for 10 s";
      if (writeFailed) s.error += " (the host's writes failed)";
      s.ok = false;
      break;
    }
    if (!pat.matches(s.bytes, got.data(), static_cast<size_t>(n)) || s.bytes + n > total) {
      s.error = "bytes differ from what the host sent, at offset " + std::to_string(s.bytes);
      s.ok = false;
      break;
    }
    s.bytes += static_cast<uint64_t>(n);
  }
  s.seconds = now() - t0;
  if (!s.ok) breakPeer(peer);
  writer.join();
  s.seconds = std::max(s.seconds, acksDone - t0);
  s.cpu = cpuSeconds(peer.child.pid) - cpu0;
  if (!ackError.empty()) {
    s.ok = false;
    s.error = ackError;
  }
  // Nothing else answers a send: any other event here is a fault (a failed write, a close).
  if (s.ok && peer.framed) {
    for (const auto& line : peer.lines.drain()) {
      s.ok = false;
      s.error = "unexpected event: " + shown(line);
    }
  }
  return s;
}

double Latency::percentile(double p) const {
  if (micros.empty()) return NAN;
  size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(micros.size() - 1) + 0.5);
  return micros[std::min(i, micros.size() - 1)];
}

Latency phoneToHostLatency(Peer& peer, int rounds) {
  const Pattern& pat = pattern();
  Latency l;
  l.ran = true;
  std::vector<uint8_t> got;
  uint64_t events = 0;
  const std::string prefix = peer.dataPrefix();
  const int warmup = std::min(100, rounds / 10);
  for (int i = 0; i < rounds + warmup; ++i) {
    const uint8_t* b = pat.at(static_cast<uint64_t>(i));
    double t0 = now();
    if (!writeAll(peer.phone, b, 1) || !receiveAtHost(peer, prefix, got, l.error, events)) {
      if (l.error.empty()) l.error = "the link closed";
      breakPeer(peer);
      return l;
    }
    double t1 = now();
    if (got.size() != 1 || got[0] != *b) {
      l.error = "round " + std::to_string(i) + ": the host got other bytes than the phone wrote";
      breakPeer(peer);
      return l;
    }
    if (i >= warmup) l.micros.push_back((t1 - t0) * 1e6);
  }
  std::sort(l.micros.begin(), l.micros.end());
  l.ok = true;
  return l;
}

Latency hostToPhoneLatency(Peer& peer, int rounds) {
  const Pattern& pat = pattern();
  std::vector<std::string> lines;
  for (int b = 0; b < 256; ++b) {
    uint8_t byte = static_cast<uint8_t>(b);
    lines.push_back(peer.framed ? sendLine(&byte, 1) : std::string(1, static_cast<char>(byte)));
  }
  Latency l;
  l.ran = true;
  const int warmup = std::min(100, rounds / 10);
  for (int i = 0; i < rounds + warmup; ++i) {
    uint8_t b = *pat.at(static_cast<uint64_t>(i));
    uint8_t got = 0;
    double t0 = now();
    long n = writeAll(peer.child.in, lines[b].data(), lines[b].size())
                 ? readSome(peer.phone, &got, 1, stallMs)
                 : -1;
    double t1 = now();
    if (n != 1 || got != b) {
      l.error = n == 1 ? "the phone got another byte than the host sent"
                       : "no byte at the phone for 10 s";
      breakPeer(peer);
      return l;
    }
    if (i >= warmup) l.micros.push_back((t1 - t0) * 1e6);
  }
  std::sort(l.micros.begin(), l.micros.end());
  l.ok = true;
  return l;
}

EventRun manyEvents(Peer& peer, uint64_t events) {
  const Pattern& pat = pattern();
  constexpr size_t chunk = 8, window = 4 * chunk;
  EventRun run;
  Stream& s = run.stream;
  s.ran = true;
  uint64_t written = 0;
  const uint64_t warmAt = events / 10;
  std::vector<uint8_t> got;
  const std::string prefix = peer.dataPrefix();
  double cpu0 = cpuSeconds(peer.child.pid);
  double t0 = now();
  s.ok = true;
  for (;;) {
    // Stop writing once the chunks in flight will bring the count to the goal.
    while (written - s.bytes < window && s.events + (written - s.bytes) / chunk < events) {
      if (!writeAll(peer.phone, pat.at(written), chunk)) {
        s.ok = false;
        s.error = "the link closed";
        break;
      }
      written += chunk;
    }
    if (!s.ok || (s.bytes == written && s.events >= events)) break;
    if (!receiveAtHost(peer, prefix, got, s.error, s.events)) {
      s.ok = false;
      break;
    }
    if (!pat.matches(s.bytes, got.data(), got.size())) {
      s.ok = false;
      s.error = "bytes differ from what the phone wrote, at offset " + std::to_string(s.bytes);
      break;
    }
    s.bytes += got.size();
    if (s.events == warmAt) {
      run.rssWarmKb = statusKb(peer.child.pid, "VmRSS");
      run.anonWarmKb = statusKb(peer.child.pid, "RssAnon");
    }
  }
  s.seconds = now() - t0;
  s.cpu = cpuSeconds(peer.child.pid) - cpu0;
  if (!s.ok) {
    breakPeer(peer);
    return run;
  }
  run.rssEndKb = statusKb(peer.child.pid, "VmRSS");
  run.hwmEndKb = statusKb(peer.child.pid, "VmHWM");
  run.anonEndKb = statusKb(peer.child.pid, "RssAnon");
  run.threads = statusKb(peer.child.pid, "Threads");
  return run;
}

}  // namespace bench
