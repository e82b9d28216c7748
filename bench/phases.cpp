#include "phases.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "connection/base64.h"

namespace bench {

namespace {

constexpr int stallMs = 10000;  // no progress for this long: the phase has failed

// The bytes at stream offset o are pattern[o % period]; stored twice so that any slice of up
// to one period is contiguous. The period holds whole 3 KB and 64 B chunks.
class Pattern {
 public:
  static constexpr size_t period = 3072 * 64;
  Pattern() : bytes_(2 * period) {
    std::mt19937 rng(20240611);
    for (size_t i = 0; i < period; ++i)
      bytes_[i] = bytes_[i + period] = static_cast<uint8_t>(rng());
  }
  const uint8_t* at(uint64_t offset) const { return bytes_.data() + offset % period; }
  bool matches(uint64_t offset, const uint8_t* data, size_t n) const {
    while (n > 0) {
      size_t k = std::min(n, period);
      if (std::memcmp(at(offset), data, k) != 0) return false;
      offset += k;
      data += k;
      n -= k;
    }
    return true;
  }

 private:
  std::vector<uint8_t> bytes_;
};

const Pattern& pattern() {
  static const Pattern p;
  return p;
}

constexpr std::string_view dataPrefix = R"({"t":"data","b64":")";

bool dataPayload(std::string_view line, std::string_view& b64) {
  if (line.size() < dataPrefix.size() + 2 || line.substr(0, dataPrefix.size()) != dataPrefix ||
      line.substr(line.size() - 2) != "\"}")
    return false;
  b64 = line.substr(dataPrefix.size(), line.size() - dataPrefix.size() - 2);
  return true;
}

std::string sendLine(const uint8_t* bytes, size_t n) {
  return R"({"t":"send","b64":")" + base64Encode({bytes, n}) + "\"}\n";
}

std::string shown(std::string_view line) {
  return std::string(line.substr(0, 120)) + (line.size() > 120 ? "..." : "");
}

// Receives up to `want` bytes as the host sees them: decoded data events from the bridge, raw
// bytes from the relay. Appends them to `out`; false with `error` set on anything else.
bool receiveAtHost(Peer& peer, std::vector<uint8_t>& out, std::string& error, uint64_t& events) {
  if (peer.framed) {
    std::string_view line, b64;
    if (!peer.lines.next(line, stallMs)) {
      error = "no event for " + std::to_string(stallMs / 1000) + " s";
      return false;
    }
    if (!dataPayload(line, b64)) {
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

// After a failure the process under test may never read again: end it so our writer
// threads see their writes fail.
void breakPeer(Peer& peer) {
  if (peer.child.pid > 0) ::kill(peer.child.pid, SIGKILL);
}

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
  s.ok = true;
  while (s.bytes < total) {
    if (!receiveAtHost(peer, got, s.error, s.events)) {
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

Stream hostToPhone(Peer& peer, uint64_t total, size_t chunk, double rate) {
  const Pattern& pat = pattern();
  // The lines of one period, made before the clock starts, when the chunk fits the period.
  std::vector<std::string> lines;
  bool cached = peer.framed && Pattern::period % chunk == 0;
  if (cached)
    for (size_t off = 0; off < Pattern::period; off += chunk)
      lines.push_back(sendLine(pat.at(off), chunk));

  Stream s;
  s.ran = true;
  std::atomic<bool> writeFailed{false};
  double cpu0 = cpuSeconds(peer.child.pid);
  double t0 = now();
  std::thread writer([&] {
    uint64_t i = 0;
    for (uint64_t off = 0; off < total; off += chunk, ++i) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, total - off));
      paceTo(t0, rate, off);
      bool ok;
      if (!peer.framed) {
        ok = writeAll(peer.child.in, pat.at(off), n);
      } else if (cached && n == chunk) {
        const std::string& line = lines[i % lines.size()];
        ok = writeAll(peer.child.in, line.data(), line.size());
      } else {
        std::string line = sendLine(pat.at(off), n);
        ok = writeAll(peer.child.in, line.data(), line.size());
      }
      if (!ok) {
        writeFailed = true;
        return;
      }
    }
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
  s.cpu = cpuSeconds(peer.child.pid) - cpu0;
  if (!s.ok) breakPeer(peer);
  writer.join();
  // A successful send emits nothing: any event here is a fault (a failed write, a close).
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
  const int warmup = std::min(100, rounds / 10);
  for (int i = 0; i < rounds + warmup; ++i) {
    const uint8_t* b = pat.at(static_cast<uint64_t>(i));
    double t0 = now();
    if (!writeAll(peer.phone, b, 1) || !receiveAtHost(peer, got, l.error, events)) {
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
    if (!receiveAtHost(peer, got, s.error, s.events)) {
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
