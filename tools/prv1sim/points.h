// The controller's points: their addresses, kinds and values, how they drift
// on their own, how writes change them, and how a points file describes them.
#ifndef ULOPR1_TOOLS_PRV1SIM_POINTS_H
#define ULOPR1_TOOLS_PRV1SIM_POINTS_H

#include <cstddef>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "ulopr1/ulo.h"

namespace prv1sim {

struct Point {
  enum class Kind { kAnalog, kDigital };
  std::string address;
  Kind kind = Kind::kAnalog;
  double value = 0;
  // Analog drift: each change moves the value by +/- step within
  // [min, max]; a step of 0 keeps the value still (a setpoint).
  double min = 0;
  double max = 0;
  double step = 0;
  // Digital points flip between 0 and 1 now and then when set.
  bool toggle = false;

  bool Changes() const { return kind == Kind::kAnalog ? step > 0 : toggle; }
};

// The value as the controller reports it: digital as an unsigned integer,
// analog with at most two decimals and no trailing zeros ("21.5", "-3",
// "0.05"); huge magnitudes in exponent form so the text stays short.
std::string FormatValue(const Point &point);

// The report text "ADDRESS=VALUE".
std::string ReportText(const Point &point);

class PointSet {
 public:
  PointSet() = default;
  explicit PointSet(std::vector<Point> points);

  const std::vector<Point> &points() const { return points_; }
  Point *Find(std::string_view address);

  enum class WriteResult { kChanged, kUnchanged, kUnknownPoint, kBadValue };
  // Applies a written value text ("21.500000", "1"). Digital points take
  // non-negative whole numbers only. The stored value is the one reported.
  WriteResult Apply(std::string_view address, std::string_view value_text);

  // Changes one randomly chosen point that changes on its own; returns it,
  // or nullptr when no point does.
  const Point *Drift(std::mt19937 &random);

 private:
  std::vector<Point> points_;
  std::map<std::string, std::size_t, std::less<>> index_;
};

// Temperatures $T1..$T4, setpoints $SP1..$SP3, digital outputs @DO1..@DO4.
std::vector<Point> BuiltinPoints();

// Reads a points file. Addresses are at most ULO_ADDRESS_MAX characters, the
// longest a receiver keeps whole. On failure returns false and sets error to
// "FILE:LINE:COLUMN: message", naming the point and field at fault.
bool LoadPoints(const std::string &path, std::vector<Point> &points,
                std::string &error);

// Same, from text already in memory; name stands for the file in messages.
bool ParsePoints(std::string_view text, const std::string &name,
                 std::vector<Point> &points, std::string &error);

}  // namespace prv1sim

#endif  // ULOPR1_TOOLS_PRV1SIM_POINTS_H
