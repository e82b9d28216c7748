// parseCommand and parseSeconds on any bytes: they never throw, never invent bytes, and
// agree with reference readings: a line written by a JSON writer reads back as the fields it
// was written from, and "seconds" reads as strtoll does. Protocol 2's readings too: readId
// takes only a JSON string or integer, exactly as written, and canonicalAddress only the
// three spellings of an address; checked on any bytes and on commands written with an id of
// every JSON type and addresses right and wrong.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fuzzer/FuzzedDataProvider.h>

#include "host/command.h"
#include "support/strict_json.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

CommandFields parseOrTrap(std::string_view line) {
  try {
    return parseCommand(line);
  } catch (...) {
    __builtin_trap();
  }
}

// Base-10 string-to-int as the C library reads it, limited to 32 bits.
std::optional<int32_t> referenceSeconds(std::string_view text) {
  std::string copy(text);  // an embedded NUL ends the number, as any non-digit does
  const char* begin = copy.c_str();
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(begin, &end, 10);
  if (end == begin || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

void checkSeconds(std::string_view text) {
  check(parseSeconds(text) == referenceSeconds(text));
}

// The code point of the well-formed UTF-8 sequence at i and its length, or 0 and 0.
std::pair<uint32_t, size_t> utf8At(const std::string& text, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
  auto tail = [&](size_t k) { return i + k < text.size() && (b(k) & 0xC0) == 0x80; };
  if (b(0) >= 0xC2 && b(0) <= 0xDF && tail(1)) return {(b(0) & 0x1Fu) << 6 | (b(1) & 0x3Fu), 2};
  if (b(0) >= 0xE0 && b(0) <= 0xEF && tail(1) && tail(2)) {
    uint32_t cp = (b(0) & 0x0Fu) << 12 | (b(1) & 0x3Fu) << 6 | (b(2) & 0x3Fu);
    if (cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)) return {cp, 3};
  }
  if (b(0) >= 0xF0 && b(0) <= 0xF4 && tail(1) && tail(2) && tail(3)) {
    uint32_t cp =
        (b(0) & 0x07u) << 18 | (b(1) & 0x3Fu) << 12 | (b(2) & 0x3Fu) << 6 | (b(3) & 0x3Fu);
    if (cp >= 0x10000 && cp <= 0x10FFFF) return {cp, 4};
  }
  return {0, 0};
}

std::string unicodeEscape(uint32_t unit, FuzzedDataProvider& extra) {
  static constexpr char lower[] = "0123456789abcdef", upper[] = "0123456789ABCDEF";
  const char* hex = extra.ConsumeBool() ? upper : lower;
  std::string out = "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += hex[unit >> shift & 0xF];
  return out;
}

// A code point as JSON escapes it: one \uXXXX, or a surrogate pair above U+FFFF.
std::string codePointEscape(uint32_t cp, FuzzedDataProvider& extra) {
  if (cp < 0x10000) return unicodeEscape(cp, extra);
  std::string high = unicodeEscape(0xD800 + ((cp - 0x10000) >> 10), extra);
  return high + unicodeEscape(0xDC00 + ((cp - 0x10000) & 0x3FF), extra);
}

// Writes a string body the way some JSON writer would: the escapes JSON requires, and, where
// `extra` asks for it, any other character as \uXXXX (a surrogate pair above U+FFFF), \b and
// \f for their bytes, or a backslash before a byte that is no escape letter.
std::string quote(const std::string& text, FuzzedDataProvider& extra) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    char c = text[i];
    auto [cp, length] = utf8At(text, i);
    if (length && extra.ConsumeBool()) {
      out += codePointEscape(cp, extra);
      i += length;
      continue;
    }
    ++i;
    if (static_cast<unsigned char>(c) < 0x80 && extra.ConsumeBool()) {
      out += unicodeEscape(static_cast<unsigned char>(c), extra);
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += extra.ConsumeBool() ? "\\b" : "\b";
        break;
      case '\f':
        out += extra.ConsumeBool() ? "\\f" : "\f";
        break;
      default:
        if (std::string_view("bfnrtu").find(c) == std::string_view::npos && extra.ConsumeBool())
          out += '\\';
        out += c;
    }
  }
  return out + "\"";
}

// A JSON string of `text` as a strict writer puts it: only JSON's escapes, any character as
// \uXXXX where `extra` asks for it. Bytes that are not UTF-8 pass as they stand.
std::string strictQuote(const std::string& text, FuzzedDataProvider& extra) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    auto [cp, length] = utf8At(text, i);
    auto c = static_cast<unsigned char>(text[i]);
    if (length > 1 && extra.ConsumeBool()) {
      out += codePointEscape(cp, extra);
      i += length;
      continue;
    }
    size_t take = length ? length : 1;
    if (c == '"' || c == '\\')
      out += std::string("\\") + static_cast<char>(c);
    else if (c < 0x20 || (c < 0x80 && extra.ConsumeBool()))
      out += unicodeEscape(c, extra);
    else
      out.append(text, i, take);
    i += take;
  }
  return out + "\"";
}

// An id of one JSON type as a host may write it, and what readId must make of it: the text
// between the blanks around it when protocol 2 takes it.
struct WrittenId {
  std::string text;
  std::optional<std::string> taken;
  bool swallowsRest = false;  // an unterminated string runs to the end of the line
};

WrittenId writeId(FuzzedDataProvider& p) {
  auto digits = [&](size_t max) {
    std::string d(1, static_cast<char>('1' + p.ConsumeIntegralInRange(0, 8)));
    size_t n = p.ConsumeIntegralInRange<size_t>(0, max);
    for (size_t i = 0; i < n; ++i) d += static_cast<char>('0' + p.ConsumeIntegralInRange(0, 9));
    return d;
  };
  // Text that neither ends a string nor escapes.
  auto plain = [&](size_t max) {
    std::string text = p.ConsumeRandomLengthString(max);
    std::erase_if(text, [](char c) { return c == '"' || c == '\\'; });
    return text;
  };
  WrittenId id;
  switch (p.ConsumeIntegralInRange(0, 9)) {
    case 0: {  // a string: taken when it is UTF-8 and short enough
      std::string value = p.ConsumeRandomLengthString(80);
      id.text = strictQuote(value, p);
      if (strict_json::validUtf8(value) && id.text.size() <= maxIdLength) id.taken = id.text;
      break;
    }
    case 1:  // an integer, negative ones and zero included
      id.text = std::to_string(p.ConsumeIntegral<int64_t>());
      id.taken = id.text;
      break;
    case 2:  // a huge integer: taken up to the length limit
      id.text = (p.ConsumeBool() ? "-" : "") + digits(300);
      if (id.text.size() <= maxIdLength) id.taken = id.text;
      break;
    case 3:  // a number with a fraction or an exponent
      id.text = digits(5) + (p.ConsumeBool() ? "." + digits(3) : "e" + digits(2));
      break;
    case 4:
      id.text = p.PickValueInArray({"null", "true", "false", "-", "+1", "007", "0x1F", "1_000"});
      break;
    case 5:  // an object, whose keys are never "id"
      id.text = p.ConsumeBool() ? "{}" : R"({"k":)" + digits(3) + "}";
      break;
    case 6:  // an array
      id.text = p.PickValueInArray({"[]", "[1,2]", "[1]", R"(["x"])"});
      break;
    case 7:  // a word without quotes
      id.text = p.PickValueInArray({"abc", "id", "x y", "\\\"x\\\""});
      break;
    case 8:  // a string without its closing quote
      id.text = "\"" + plain(20);
      id.swallowsRest = true;
      break;
    default:  // a string with a raw control byte or a lone surrogate escape
      id.text = "\"" + plain(10) + (p.ConsumeBool() ? "\t" : "\\ud800") + "\"";
      break;
  }
  // Blanks around a bare value are not part of it.
  if (id.text.front() != '"' && p.ConsumeBool()) id.text = " " + id.text + "  ";
  return id;
}

// An address as a host may write it, and its canonical form when protocol 2 takes it.
std::pair<std::string, std::optional<std::string>> writeAddress(FuzzedDataProvider& p) {
  static constexpr char hex[] = "0123456789abcdefABCDEF";
  std::string digits, canonical;
  for (int i = 0; i < 12; ++i) {
    char d = hex[p.ConsumeIntegralInRange(0, 21)];
    digits += d;
    if (i > 0 && i % 2 == 0) canonical += ':';
    canonical += static_cast<char>(std::toupper(static_cast<unsigned char>(d)));
  }
  char separator = p.PickValueInArray({'\0', ':', '-'});
  std::string text;
  for (int i = 0; i < 12; ++i) {
    if (i > 0 && i % 2 == 0 && separator) text += separator;
    text += digits[static_cast<size_t>(i)];
  }
  if (p.ConsumeBool()) return {text, canonical};
  // Spoiled in one way or another.
  size_t at = p.ConsumeIntegralInRange<size_t>(0, text.size() - 1);
  switch (p.ConsumeIntegralInRange(0, 5)) {
    case 0:
      text[at] = p.PickValueInArray({'G', 'z', ' ', '.', '_'});
      break;
    case 1:
      text.erase(at, 1);
      break;
    case 2:
      text.insert(at, 1, hex[p.ConsumeIntegralInRange(0, 21)]);
      break;
    case 3:
      text = p.ConsumeBool() ? " " + text : text + " ";
      break;
    case 4:
      if (separator) {
        text[text.find(separator)] = separator == ':' ? '-' : ':';
      } else {
        text.clear();
      }
      break;
    default:
      text = p.PickValueInArray({"", "A4:50:46:12:34:5", "A4:50:46:12:34:567", "A4::50:46:12:34:56",
                                 "A450:4612:3456", "A4:50:46:12:34:56:", "0x0000000000"});
  }
  return {text, std::nullopt};
}

// What readId and canonicalAddress give for any line: an id that is part of the line, strict
// and short, and an address only in its canonical form, with the line's digits.
void checkProtocol2Readings(std::string_view line) {
  CommandId id;
  try {
    id = readId(line);
  } catch (...) {
    __builtin_trap();
  }
  if (id.status == IdStatus::valid) {
    check(id.text.data() >= line.data() &&
          id.text.data() + id.text.size() <= line.data() + line.size());
    check(!id.text.empty() && id.text.size() <= maxIdLength);
    if (id.text.front() == '"') {
      check(id.text.size() >= 2 && id.text.back() == '"');
      auto decoded = strict_json::decodeString(id.text.substr(1, id.text.size() - 2));
      check(decoded && strict_json::validUtf8(*decoded));
    } else {
      std::string_view n = id.text.substr(id.text.front() == '-');
      check(!n.empty() && (n == "0" || n.front() != '0'));
      for (char c : n) check(c >= '0' && c <= '9');
    }
  }
  if (auto canonical = canonicalAddress(line)) {
    check(canonical->size() == 17 && canonicalAddress(*canonical) == *canonical);
    std::string digits;
    for (char c : line)
      if (std::isxdigit(static_cast<unsigned char>(c)))
        digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string canonicalDigits = *canonical;
    std::erase(canonicalDigits, ':');
    check(digits == canonicalDigits);
    for (char c : *canonical) check(c == ':' || std::isdigit(c) || (c >= 'A' && c <= 'F'));
  }
}

// A command written with an id of some type and an address: readId and canonicalAddress as
// protocol 2 wants them, whatever the keys' order and the blanks between them.
void checkWrittenCommand(FuzzedDataProvider& p) {
  WrittenId id = writeId(p);
  auto [addr, canonical] = writeAddress(p);
  std::vector<std::string> members = {
      R"("t":")" +
          std::string(p.PickValueInArray(
              {"send", "connect", "pair", "disconnect", "scan", "stop-scan", "hello"})) +
          "\"",
      R"("addr":)" + strictQuote(addr, p), R"("b64":"QUJD")"};
  // The id anywhere but last may not run to the end of the line.
  size_t at =
      id.swallowsRest ? members.size() : p.ConsumeIntegralInRange<size_t>(0, members.size());
  members.insert(members.begin() + static_cast<long>(at), R"("id":)" + id.text);
  std::string line = "{";
  for (size_t i = 0; i < members.size(); ++i) {
    if (i) line += p.ConsumeBool() ? "," : " , ";
    line += members[i];
  }
  line += "}";
  CommandId read = readId(line);
  check((read.status == IdStatus::valid) == id.taken.has_value());
  if (id.taken) {
    std::string_view expected = *id.taken;
    size_t first = expected.find_first_not_of(' ');
    expected = expected.substr(first, expected.find_last_not_of(' ') + 1 - first);
    check(read.text == expected);
  }
  if (id.swallowsRest) return;
  CommandFields fields = parseOrTrap(line);
  check(fields["addr"] == addr && canonicalAddress(addr) == canonical);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);

  // Any line: each byte of it yields at most one stored byte, and no quote means no field.
  CommandFields fields = parseOrTrap(line);
  size_t stored = 0;
  for (const auto& [key, value] : fields) {
    stored += key.size() + value.size();
    checkSeconds(value);
  }
  check(stored <= line.size());
  if (line.find('"') == std::string_view::npos) check(fields.empty());
  check(fields.size() <= static_cast<size_t>(std::count(line.begin(), line.end(), '"')));
  checkSeconds(line);
  checkProtocol2Readings(line);

  // A well-formed object built from the input reads back exactly; the last key wins.
  FuzzedDataProvider provider(data, size);
  std::map<std::string, std::string> expected;
  std::string written = provider.ConsumeBool() ? "{" : "{ ";
  int count = provider.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < count; ++i) {
    std::string key = provider.ConsumeRandomLengthString(32);
    std::string value = provider.ConsumeRandomLengthString(64);
    if (i) written += provider.ConsumeBool() ? "," : " , ";
    written += quote(key, provider);
    written += provider.ConsumeBool() ? ":" : " : ";
    written += quote(value, provider);
    expected[key] = value;
  }
  written += "}";
  CommandFields read = parseOrTrap(written);
  check(read.size() == expected.size());
  for (const auto& [key, value] : expected) {
    auto it = read.find(key);
    check(it != read.end() && it->second == value);
  }
  checkWrittenCommand(provider);
  return 0;
}
