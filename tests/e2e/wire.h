#pragma once
// What the end-to-end tests need to read and write the wire: the event and command texts they
// share, worlds of phones, base64 of the data events, the payload of a data event, and the
// bridge's peak memory.
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/strict_json.h"

namespace wire {

inline std::string base64(std::string_view bytes) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 2]);
    out += alphabet[v >> 18];
    out += alphabet[v >> 12 & 63];
    out += i + 1 < bytes.size() ? alphabet[v >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? alphabet[v & 63] : '=';
  }
  return out;
}

// Strict: only padded standard base64 decodes; anything else gives nothing.
inline std::optional<std::string> unbase64(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() % 4) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int pads = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    if (pads == 1 && text[i + 2] == '=') return std::nullopt;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      int d = k >= 4 - pads ? 0 : value(text[i + k]);
      if (d < 0) return std::nullopt;
      v = v << 6 | static_cast<uint32_t>(d);
    }
    out += static_cast<char>(v >> 16);
    if (pads < 2) out += static_cast<char>(v >> 8 & 0xFF);
    if (pads < 1) out += static_cast<char>(v & 0xFF);
  }
  return out;
}

// The bytes of a data event, or nothing when the line is not one (or its payload is bad).
inline std::optional<std::string> dataBytes(const std::string& event) {
  static constexpr std::string_view head = R"({"t":"data","b64":")";
  if (event.compare(0, head.size(), head) != 0 || event.size() < head.size() + 2 ||
      event.compare(event.size() - 2, 2, "\"}") != 0)
    return std::nullopt;
  return unbase64(std::string_view(event).substr(head.size(), event.size() - head.size() - 2));
}

inline const std::string ready = R"({"t":"ready","backend":"windows"})";
inline const std::string closed = R"({"t":"closed","reason":"соединение закрыто"})";
inline const std::string writeFailed = R"({"t":"error","error":"запись не удалась"})";

inline std::string connected(const std::string& addr) {
  return R"({"t":"connected","addr":")" + addr + R"("})";
}
inline std::string connectCommand(const std::string& addr) {
  return R"({"t":"connect","addr":")" + addr + R"("})";
}
inline const std::string disconnect = R"({"t":"disconnect"})";

// A world of phones, each described by its own lines, with short inquiries.
inline std::string world(const std::vector<std::pair<std::string, std::string>>& phones) {
  std::string text = "inquiry-unit-ms 20\n";
  for (const auto& [addr, lines] : phones) text += "device " + addr + "\n" + lines + "end\n";
  return text;
}

// A "send" command carrying these bytes.
inline std::string send(std::string_view bytes) {
  return R"({"t":"send","b64":")" + base64(bytes) + R"("})";
}

// ---- Protocol 2 ---------------------------------------------------------------------------

inline std::string hello(int protocol = 2) {
  return R"({"t":"hello","protocol":)" + std::to_string(protocol) + "}";
}

// A command with an id (JSON text) and more members (`"addr":"..."`, ...), if any.
inline std::string command(std::string_view t, std::string_view id, std::string_view more = {}) {
  std::string text = R"({"t":")" + std::string(t) + R"(","id":)" + std::string(id);
  if (!more.empty()) text += "," + std::string(more);
  return text + "}";
}
inline std::string addrMember(std::string_view addr) {
  return R"("addr":")" + std::string(addr) + "\"";
}

// The members of one event, each value as JSON text (a string keeps its quotes); empty when
// the line is not one flat object as the bridge writes them.
inline std::map<std::string, std::string> fields(std::string_view line) {
  std::map<std::string, std::string> out;
  if (auto object = strict_json::flatObject(line, true))
    for (const auto& f : *object)
      out[std::string(f.key)] =
          f.quoted ? "\"" + std::string(f.value) + "\"" : std::string(f.value);
  return out;
}

// A JSON string of text that needs no escaping.
inline std::string jsonString(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

// Peak resident memory of a live process, in kB (VmHWM), or -1.
inline long peakMemoryKb(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace wire
