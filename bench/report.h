#pragma once
// The suite's one table, and the same figures as JSON so runs can be compared.
#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

constexpr double none = NAN;

struct Figure {
  Figure(std::string name_, std::string unit_, double value_ = none)
      : name(std::move(name_)), unit(std::move(unit_)), value(value_) {}
  std::string name;
  std::string unit;
  double value;             // the bridge (or our codec)
  double reference = none;  // the plain relay (or OpenSSL) in the same run
  double ratio = none;      // value against reference, bigger is better
  std::string target;       // as the issue states it; empty: for information
  std::optional<bool> meets;
  std::string note;
};

class Report {
 public:
  void add(Figure figure) { figures_.push_back(std::move(figure)); }
  void note(std::string text) { notes_.push_back(std::move(text)); }
  // Values of an earlier run's JSON, shown as "before".
  void loadBaseline(const std::string& path);
  void print() const;
  void writeJson(const std::string& path) const;
  bool empty() const { return figures_.empty(); }

 private:
  std::vector<Figure> figures_;
  std::vector<std::string> notes_;
  std::map<std::string, double> baseline_;
};

}  // namespace bench
