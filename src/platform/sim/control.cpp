#include "platform/sim/control.h"

#include <sstream>
#include <thread>

#include "platform/sim/live_socket.h"
#include "platform/sim/state.h"

namespace sim {

namespace {

std::optional<uint64_t> address(const std::string& text) {
  uint64_t value = 0;
  int digits = 0;
  for (char c : text) {
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                     : -1;
    if (d < 0) {
      if (c != ':') return std::nullopt;
      continue;
    }
    value = value << 4 | static_cast<uint64_t>(d);
    ++digits;
  }
  if (digits != 12) return std::nullopt;
  return value;
}

void serve(live::Handle channel) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    long n = live::receive(channel, buffer, sizeof buffer);
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string answer = applyControlLine(pending.substr(0, end)) + "\n";
      pending.erase(0, end + 1);
      if (!live::sendAll(channel, answer.data(), answer.size())) break;
    }
  }
  live::close(channel);
}

}  // namespace

std::string applyControlLine(const std::string& line) {
  std::istringstream words(line);
  std::string first, second, third, extra;
  words >> first >> second >> third >> extra;
  if (!extra.empty()) return "error: unexpected text after the line: " + line;
  if (first == "radio" && third.empty() && (second == "on" || second == "off")) {
    switchRadio(second == "on");
    return "ok";
  }
  if (first == "adapter" && third.empty() && (second == "add" || second == "remove")) {
    second == "add" ? addAdapter() : removeAdapter();
    return "ok";
  }
  if (first == "stack" && second == "restart" && third.empty()) {
    restartStack();
    return "ok";
  }
  if (first == "phone" && (third == "on" || third == "off")) {
    auto phone = address(second);
    if (!phone) return "error: an address has 12 hex digits: " + second;
    if (!switchPhone(*phone, third == "on")) return "error: no such phone in the world: " + second;
    return "ok";
  }
  return "error: unknown line: " + line;
}

bool startControl(const std::string& path) {
  live::Handle channel = live::connect(path);
  if (channel == live::none) return false;
  std::thread([channel] { serve(channel); }).detach();
  return true;
}

}  // namespace sim
