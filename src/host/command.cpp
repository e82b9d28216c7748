#include "host/command.h"

#include <cstring>

namespace {

// Reads a string body starting at p (just after its opening quote); p ends past the closing
// quote, or at the end of the line.
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
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
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
