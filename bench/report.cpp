#include "report.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

std::string number(double v) {
  if (std::isnan(v)) return "n/a";
  char text[64];
  double a = std::fabs(v);
  if (a >= 1000 || a == 0)
    std::snprintf(text, sizeof text, "%.0f", v);
  else if (a >= 10)
    std::snprintf(text, sizeof text, "%.1f", v);
  else if (a >= 0.01)
    std::snprintf(text, sizeof text, "%.3f", v);
  else
    std::snprintf(text, sizeof text, "%.2e", v);
  return text;
}

std::string jsonNumber(double v) {
  if (std::isnan(v)) return "null";
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

std::string jsonText(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    out += c;
  }
  return out + "\"";
}

// Display width of UTF-8 text: one column per code point.
size_t width(const std::string& s) {
  size_t n = 0;
  for (char c : s)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

std::string pad(const std::string& s, size_t w) {
  size_t n = width(s);
  return n >= w ? s : s + std::string(w - n, ' ');
}

}  // namespace

void Report::loadBaseline(const std::string& path) {
  // Our own JSON has one figure per line: pick out "name" and "value".
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t n = line.find("\"name\":\"");
    size_t v = line.find("\"value\":");
    if (n == std::string::npos || v == std::string::npos) continue;
    n += 8;
    std::string name = line.substr(n, line.find('"', n) - n);
    std::string value = line.substr(v + 8);
    if (value.compare(0, 4, "null") == 0) continue;
    baseline_[name] = std::stod(value);
  }
}

void Report::print() const {
  bool before = !baseline_.empty();
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> head = {"figure", "unit"};
  if (before) head.push_back("before");
  for (const char* h : {"bridge", "reference", "ratio", "target", "meets"}) head.push_back(h);
  rows.push_back(head);
  for (const Figure& f : figures_) {
    std::vector<std::string> row = {f.name, f.unit};
    if (before) {
      auto it = baseline_.find(f.name);
      row.push_back(it == baseline_.end() ? "" : number(it->second));
    }
    row.push_back(number(f.value));
    row.push_back(std::isnan(f.reference) ? "" : number(f.reference));
    row.push_back(std::isnan(f.ratio) ? "" : number(f.ratio));
    row.push_back(f.target);
    row.push_back(!f.meets ? (f.target.empty() ? "" : "n/a") : *f.meets ? "yes" : "NO");
    rows.push_back(row);
  }
  std::vector<size_t> widths(head.size(), 0);
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], width(row[i]));
  for (size_t r = 0; r < rows.size(); ++r) {
    std::string line = "|";
    for (size_t i = 0; i < rows[r].size(); ++i) line += " " + pad(rows[r][i], widths[i]) + " |";
    std::printf("%s\n", line.c_str());
    if (r == 0) {
      std::string rule = "|";
      for (size_t w : widths) rule += std::string(w + 2, '-') + "|";
      std::printf("%s\n", rule.c_str());
    }
  }
  for (const Figure& f : figures_)
    if (!f.note.empty()) std::printf("  %s: %s\n", f.name.c_str(), f.note.c_str());
  for (const auto& n : notes_) std::printf("note: %s\n", n.c_str());
}

void Report::writeJson(const std::string& path) const {
  std::ostringstream out;
  out << "{\"figures\":[\n";
  for (size_t i = 0; i < figures_.size(); ++i) {
    const Figure& f = figures_[i];
    out << "{\"name\":" << jsonText(f.name) << ",\"unit\":" << jsonText(f.unit)
        << ",\"value\":" << jsonNumber(f.value) << ",\"reference\":" << jsonNumber(f.reference)
        << ",\"ratio\":" << jsonNumber(f.ratio) << ",\"target\":" << jsonText(f.target)
        << ",\"meets\":"
        << (!f.meets   ? "null"
            : *f.meets ? "true"
                       : "false")
        << ",\"note\":" << jsonText(f.note) << "}" << (i + 1 < figures_.size() ? "," : "") << "\n";
  }
  out << "],\n\"notes\":[";
  for (size_t i = 0; i < notes_.size(); ++i) out << (i ? "," : "") << jsonText(notes_[i]);
  out << "]}\n";
  std::ofstream(path) << out.str();
}

}  // namespace bench
