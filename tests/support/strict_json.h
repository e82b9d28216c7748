#pragma once
// A strict reader for the JSON the bridge writes, shared by the end-to-end tests and the fuzz
// targets. Strict where a lenient reader would hide a fault: no blanks, no raw control bytes,
// only the escapes JSON defines, a \u surrogate only as half of a pair.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace strict_json {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool validUtf8(std::string_view s) {
  static constexpr uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t len = (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    uint32_t cp = b & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
      auto c = static_cast<unsigned char>(s[i + k]);
      if ((c >> 6) != 2) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

inline void putUtf8(std::string& out, uint32_t cp) {
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

// UTF-16 to UTF-8 as a well-behaved converter does it, an unpaired surrogate giving U+FFFD:
// what the host must see of a platform text.
inline std::string utf8FromUtf16(std::u16string_view units) {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      putUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else {
      putUtf8(out, c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c);
    }
  }
  return out;
}

// Four hex digits at `i`, which moves past them.
inline std::optional<uint32_t> hex4(std::string_view s, size_t& i) {
  static constexpr std::string_view digits = "0123456789abcdefABCDEF";
  if (s.size() - i < 4) return std::nullopt;
  uint32_t v = 0;
  for (size_t end = i + 4; i < end; ++i) {
    size_t d = digits.find(s[i]);
    if (d == std::string_view::npos) return std::nullopt;
    v = v << 4 | static_cast<uint32_t>(d < 16 ? d : d - 6);
  }
  return v;
}

// The text that a JSON string's content (what stands between its quotes) stands for. Bytes
// from 0x80 up are copied as they stand, since the bridge passes the host's ill-formed UTF-8
// through; check the result with validUtf8 where the text must be well-formed.
inline std::optional<std::string> decodeString(std::string_view s) {
  static constexpr std::string_view escapes = "\"\\/bfnrt", meanings = "\"\\/\b\f\n\r\t";
  std::string out;
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i++]);
    if (c < 0x20 || c == '"') return std::nullopt;
    if (c != '\\') {
      out += static_cast<char>(c);
      continue;
    }
    if (i == s.size()) return std::nullopt;
    char e = s[i++];
    if (size_t k = escapes.find(e); k != std::string_view::npos) {
      out += meanings[k];
      continue;
    }
    if (e != 'u') return std::nullopt;
    auto cp = hex4(s, i);
    if (!cp || (*cp >= 0xDC00 && *cp <= 0xDFFF)) return std::nullopt;
    if (*cp >= 0xD800 && *cp <= 0xDBFF) {
      if (s.substr(i, 2) != "\\u") return std::nullopt;
      i += 2;
      auto low = hex4(s, i);
      if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
      cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
    }
    putUtf8(out, *cp);
  }
  return out;
}

struct Field {
  std::string_view key;    // its content as written
  std::string_view value;  // a string's content as written, or the bare literal
  bool quoted;             // the value is a string
};

// The fields, in order, of one flat object written without blanks: {"key":value,...}, each
// value a string or a bare true, false or null (or, with `integers`, a JSON integer), each
// string as decodeString accepts it. Nothing for any other text, trailing text included.
inline std::optional<std::vector<Field>> flatObject(std::string_view line, bool integers = false) {
  size_t p = 1;
  auto readString = [&]() -> std::optional<std::string_view> {
    if (line.substr(p, 1) != "\"") return std::nullopt;
    size_t start = ++p;
    while (p < line.size() && line[p] != '"') p += line[p] == '\\' ? 2 : 1;
    if (p >= line.size()) return std::nullopt;
    std::string_view content = line.substr(start, p++ - start);
    if (!decodeString(content)) return std::nullopt;
    return content;
  };
  std::vector<Field> fields;
  if (line.substr(0, 1) != "{") return std::nullopt;
  if (line == "{}") return fields;
  for (;;) {
    auto key = readString();
    if (!key || line.substr(p, 1) != ":") return std::nullopt;
    ++p;
    Field field{*key, {}, line.substr(p, 1) == "\""};
    if (field.quoted) {
      auto value = readString();
      if (!value) return std::nullopt;
      field.value = *value;
    } else {
      for (std::string_view literal : {"true", "false", "null"})
        if (line.substr(p, literal.size()) == literal) field.value = literal;
      if (integers && field.value.empty()) {
        size_t end = p + (line.substr(p, 1) == "-");
        size_t digits = end;
        while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
        bool leadingZero = end - digits > 1 && line[digits] == '0';
        if (end > digits && !leadingZero) field.value = line.substr(p, end - p);
      }
      if (field.value.empty()) return std::nullopt;
      p += field.value.size();
    }
    fields.push_back(field);
    if (line.substr(p) == "}") return fields;
    if (line.substr(p, 1) != ",") return std::nullopt;
    ++p;
  }
}

}  // namespace strict_json
