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

// Walks the line's key and value pairs as the tolerant scanner reads them. `visit` gets the
// decoded key, where the value's text lies in the line, and whether it was quoted; it
// returns the value's end (past a quoted value's closing quote).
template <typename Visit>
void scanPairs(std::string_view line, Visit visit) {
  size_t p = 0;
  for (;;) {
    p = line.find('"', p);
    if (p == std::string_view::npos) break;
    ++p;
    std::string key = readBody(line, p);
    while (p < line.size() && (line[p] == ' ' || line[p] == ':')) ++p;
    if (p < line.size() && line[p] == '"') {
      p = visit(std::move(key), p, true);
    } else {
      size_t end = line.find_first_of(",}", p);
      if (end == std::string_view::npos) end = line.size();
      visit(std::move(key), p, false);
      p = end;
    }
  }
}

// Past the closing quote of the string body that starts after the quote at `quote`, or the
// end of the line: where readBody would stop, without building the text.
size_t skipBody(std::string_view line, size_t quote) {
  for (size_t p = quote + 1; p < line.size();) {
    // Straight to the next quote or backslash: a send's base64 body is thousands of bytes.
    const char* start = line.data() + p;
    const void* q = std::memchr(start, '"', line.size() - p);
    size_t run = (q ? static_cast<const char*>(q) : line.data() + line.size()) - start;
    const void* slash = std::memchr(start, '\\', run);
    if (!slash) return q ? p + run + 1 : line.size();
    p += static_cast<size_t>(static_cast<const char*>(slash) - start) + 2;
  }
  return line.size();
}

}  // namespace

CommandFields parseCommand(std::string_view line, std::optional<std::string_view>& rawId) {
  CommandFields fields;
  rawId.reset();
  scanPairs(line, [&](std::string key, size_t p, bool quoted) {
    size_t start = p;
    std::string value;
    if (quoted) {
      ++p;
      value = readBody(line, p);
    } else {
      size_t end = line.find_first_of(",}", p);
      if (end == std::string_view::npos) end = line.size();
      value.assign(line.substr(p, end - p));
      p = end;
    }
    if (key == "id") rawId = line.substr(start, p - start);
    fields.insert_or_assign(std::move(key), std::move(value));
    return p;
  });
  return fields;
}

CommandFields parseCommand(std::string_view line) {
  std::optional<std::string_view> rawId;
  return parseCommand(line, rawId);
}

std::optional<std::string_view> rawValue(std::string_view line, std::string_view key) {
  std::optional<std::string_view> found;
  scanPairs(line, [&](const std::string& k, size_t p, bool quoted) {
    size_t end = quoted ? skipBody(line, p) : line.find_first_of(",}", p);
    if (end == std::string_view::npos) end = line.size();
    if (k == key) found = line.substr(p, end - p);
    return end;
  });
  return found;
}

namespace {

bool validUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || s.size() - i < len) return false;
    uint32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
      auto c = static_cast<unsigned char>(s[i + k]);
      if ((c >> 6) != 2) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    static constexpr uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// A JSON string exactly as JSON defines it, quotes included: written back as it stands, it
// must be one for every reader.
bool strictJsonString(std::string_view s) {
  if (s.size() < 2 || s.front() != '"' || s.back() != '"' || !validUtf8(s)) return false;
  for (size_t p = 1; p + 1 < s.size(); ++p) {
    auto c = static_cast<unsigned char>(s[p]);
    if (c < 0x20 || c == '"') return false;
    if (c != '\\') continue;
    if (++p + 1 >= s.size()) return false;
    char e = s[p];
    if (e != 'u') {
      if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) return false;
      continue;
    }
    auto unit = hex4(s.substr(0, s.size() - 1), p + 1);
    if (!unit) return false;
    p += 4;
    // A surrogate only as the high half followed by its low half.
    if (*unit >= 0xDC00 && *unit <= 0xDFFF) return false;
    if (*unit >= 0xD800 && *unit <= 0xDBFF) {
      if (s.size() - 1 - (p + 1) < 6 || s[p + 1] != '\\' || s[p + 2] != 'u') return false;
      auto low = hex4(s.substr(0, s.size() - 1), p + 3);
      if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
      p += 6;
    }
  }
  return true;
}

bool jsonInteger(std::string_view s) {
  if (!s.empty() && s.front() == '-') s.remove_prefix(1);
  if (s.empty() || (s.front() == '0' && s.size() > 1)) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

CommandId checkId(std::optional<std::string_view> raw) {
  if (!raw) return {IdStatus::absent, {}};
  std::string_view text = *raw;
  // A bare value runs up to the comma or brace, blanks and all.
  if (!text.empty() && text.front() != '"') {
    size_t first = text.find_first_not_of(" \t\r\n");
    text = first == std::string_view::npos ? std::string_view() : text.substr(first);
    text = text.substr(0, text.find_last_not_of(" \t\r\n") + 1);
  }
  bool valid = text.size() <= maxIdLength && (jsonInteger(text) || strictJsonString(text));
  return {valid ? IdStatus::valid : IdStatus::invalid, valid ? text : std::string_view()};
}

CommandId readId(std::string_view line) {
  return checkId(rawValue(line, "id"));
}

std::optional<std::string> canonicalAddress(std::string_view text) {
  std::string digits;
  if (text.size() == 17) {
    char separator = text[2];
    if (separator != ':' && separator != '-') return std::nullopt;
    for (size_t i = 0; i < text.size(); ++i) {
      if (i % 3 == 2) {
        if (text[i] != separator) return std::nullopt;
      } else {
        digits += text[i];
      }
    }
  } else if (text.size() == 12) {
    digits = text;
  } else {
    return std::nullopt;
  }
  std::string canonical;
  for (size_t i = 0; i < digits.size(); ++i) {
    int d = hexDigit(digits[i]);
    if (d < 0) return std::nullopt;
    if (i > 0 && i % 2 == 0) canonical += ':';
    canonical += "0123456789ABCDEF"[d];
  }
  return canonical;
}

std::string deviceAddress(std::string_view text) {
  std::string digits;
  for (char c : text)
    if (hexDigit(c) >= 0) digits += c;
  if (digits.empty()) return {};
  if (digits.size() > 12) digits.erase(0, digits.size() - 12);
  return *canonicalAddress(std::string(12 - digits.size(), '0') + digits);
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
