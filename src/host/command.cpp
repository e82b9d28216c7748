#include "host/command.h"

#include <cstdint>
#include <cstring>
#include <optional>

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at p, if there are four.
std::optional<uint32_t> hex4(std::string_view line, size_t p) {
  if (line.size() - p < 4) return std::nullopt;
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) {
    int d = hexDigit(line[p + i]);
    if (d < 0) return std::nullopt;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  return v;
}

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A \u escape whose "\u" ends just before p, with its four digits `unit`: the character it
// stands for (with the low half of a surrogate pair that follows), p past what it took. A
// surrogate without its other half is U+FFFD, as the platform's texts convert.
void readUnicodeEscape(std::string_view line, size_t& p, uint32_t unit, std::string& out) {
  p += 4;
  uint32_t cp = unit;
  if (unit >= 0xD800 && unit <= 0xDFFF) {
    cp = 0xFFFD;
    if (unit <= 0xDBFF && line.size() - p >= 6 && line[p] == '\\' && line[p + 1] == 'u') {
      auto low = hex4(line, p + 2);
      if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
        cp = 0x10000 + ((unit - 0xD800) << 10) + (*low - 0xDC00);
        p += 6;
      }
    }
  }
  appendUtf8(out, cp);
}

// Reads a string body starting at p (just after its opening quote); p ends past the closing
// quote, or at the end of the line. JSON's escapes are decoded, so a host's encoder may escape
// any character it likes; anything else after a backslash stands for itself.
std::string readBody(std::string_view line, size_t& p) {
  std::string out;
  // The next quote is looked for again only once p has passed it: a body of many escapes
  // (and no quote after them) would otherwise cost a pass to the end of the line per escape.
  size_t quote = line.find('"', p);
  while (p < line.size()) {
    if (quote < p) quote = line.find('"', p);
    // Plain bytes up to the next quote or backslash go over in one piece: a send's base64
    // body is thousands of them.
    const char* start = line.data() + p;
    size_t run = (quote == std::string_view::npos ? line.size() : quote) - p;
    const void* slash = std::memchr(start, '\\', run);
    if (slash) run = static_cast<size_t>(static_cast<const char*>(slash) - start);
    out.append(start, run);
    p += run;
    if (p == line.size()) break;
    char c = line[p++];
    if (c == '"') return out;
    // A backslash: it escapes the next byte, or stands for itself at the end of the line.
    if (p == line.size()) {
      out += c;
      break;
    }
    char e = line[p++];
    switch (e) {
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u':
        if (auto unit = hex4(line, p)) {
          readUnicodeEscape(line, p, *unit, out);
          break;
        }
        // Not an escape after all: the letter, and what follows as it stands.
        out += e;
        break;
      default:
        out += e;
    }
  }
  return out;
}

}  // namespace

CommandFields parseCommand(std::string_view line) {
  CommandFields fields;
  size_t p = 0;
  for (;;) {
    p = line.find('"', p);
    if (p == std::string_view::npos) break;
    ++p;
    std::string key = readBody(line, p);
    while (p < line.size() && (line[p] == ' ' || line[p] == ':')) ++p;
    std::string value;
    if (p < line.size() && line[p] == '"') {
      ++p;
      value = readBody(line, p);
    } else if (p < line.size()) {
      size_t end = line.find_first_of(",}", p);
      if (end == std::string_view::npos) end = line.size();
      value.assign(line.substr(p, end - p));
      p = end;
    }
    fields.insert_or_assign(std::move(key), std::move(value));
  }
  return fields;
}

std::optional<int32_t> parseSeconds(std::string_view text) {
  size_t p = 0;
  while (p < text.size() && (text[p] == ' ' || (text[p] >= '\t' && text[p] <= '\r'))) ++p;
  bool negative = false;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
  if (p >= text.size() || text[p] < '0' || text[p] > '9') return std::nullopt;
  int64_t value = 0;
  for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) {
    value = value * 10 + (text[p] - '0');
    if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
  return static_cast<int32_t>(value);
}
