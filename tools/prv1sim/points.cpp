#include "points.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <optional>

#include "protocol/number.h"
#include "toml_reader.h"

namespace prv1sim {
namespace {

// Analog values are kept at the precision they are reported with, so a
// stored value and its report always agree.
double Round2(double value) { return std::round(value * 100.0) / 100.0; }

std::optional<double> ParseNumber(std::string_view text) {
  double value = 0;
  const char *end = text.data() + text.size();
  if (text.empty() || ulo::ReadNumber(text.data(), end, value) != end ||
      !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// value as printf's "%.Nf" (fixed) or "%.Ng" (general), N the precision,
// writes it in the "C" locale; FormatValue's values need far less room.
std::string Printed(double value, std::chars_format format, int precision) {
  char text[32];
  std::to_chars_result written =
      std::to_chars(text, std::end(text), value, format, precision);
  return std::string(text, written.ptr);
}

}  // namespace

std::string FormatValue(const Point &point) {
  if (point.kind == Point::Kind::kDigital) {
    return Printed(point.value, std::chars_format::fixed, 0);
  }
  if (std::fabs(point.value) >= 1e12) {
    return Printed(point.value, std::chars_format::general, 6);
  }
  std::string out = Printed(point.value, std::chars_format::fixed, 2);
  out.erase(out.find_last_not_of('0') + 1);
  if (out.back() == '.') out.pop_back();
  if (out == "-0") out = "0";
  return out;
}

std::string ReportText(const Point &point) {
  return point.address + "=" + FormatValue(point);
}

PointSet::PointSet(std::vector<Point> points) : points_(std::move(points)) {
  for (std::size_t i = 0; i < points_.size(); ++i) {
    index_.emplace(points_[i].address, i);
  }
}

Point *PointSet::Find(std::string_view address) {
  auto it = index_.find(address);
  return it == index_.end() ? nullptr : &points_[it->second];
}

PointSet::WriteResult PointSet::Apply(std::string_view address,
                                      std::string_view value_text) {
  Point *point = Find(address);
  if (point == nullptr) return WriteResult::kUnknownPoint;
  std::optional<double> value = ParseNumber(value_text);
  if (!value) return WriteResult::kBadValue;
  if (point->kind == Point::Kind::kDigital) {
    if (*value < 0 || *value != std::floor(*value) || *value > 4294967295.0) {
      return WriteResult::kBadValue;
    }
  } else {
    *value = Round2(*value);
  }
  std::string before = FormatValue(*point);
  point->value = *value;
  return FormatValue(*point) == before ? WriteResult::kUnchanged
                                       : WriteResult::kChanged;
}

const Point *PointSet::Drift(std::mt19937 &random) {
  std::vector<Point *> changing;
  for (Point &point : points_) {
    if (point.Changes()) changing.push_back(&point);
  }
  if (changing.empty()) return nullptr;
  Point &point = *changing[std::uniform_int_distribution<std::size_t>(
      0, changing.size() - 1)(random)];
  if (point.kind == Point::Kind::kDigital) {
    point.value = point.value != 0 ? 0 : 1;
    return &point;
  }
  double step =
      std::bernoulli_distribution(0.5)(random) ? point.step : -point.step;
  if (point.value + step > point.max) step = -point.step;
  if (point.value + step < point.min) step = point.step;
  point.value = Round2(std::clamp(point.value + step, point.min, point.max));
  return &point;
}

std::vector<Point> BuiltinPoints() {
  using K = Point::Kind;
  return {
      {"$T1", K::kAnalog, 21.0, 15.0, 28.0, 0.1, false},
      {"$T2", K::kAnalog, 19.5, 15.0, 28.0, 0.1, false},
      {"$T3", K::kAnalog, 22.5, 15.0, 28.0, 0.1, false},
      {"$T4", K::kAnalog, 5.0, -20.0, 35.0, 0.5, false},
      {"$SP1", K::kAnalog, 21.0, 0, 0, 0, false},
      {"$SP2", K::kAnalog, 20.0, 0, 0, 0, false},
      {"$SP3", K::kAnalog, 22.0, 0, 0, 0, false},
      {"@DO1", K::kDigital, 0, 0, 0, 0, true},
      {"@DO2", K::kDigital, 1, 0, 0, 0, true},
      {"@DO3", K::kDigital, 0, 0, 0, 0, true},
      {"@DO4", K::kDigital, 0, 0, 0, 0, true},
  };
}

namespace {

using ulo::tools::FileErrors;
using ulo::tools::TomlReader;
using ulo::tools::TomlTable;

// A field of a point as messages name it: point 3, field "min".
std::string PointField(const std::string &point, std::string_view key) {
  return point + ", field \"" + std::string(key) + "\"";
}

bool ReadAddress(const TomlTable &table, Point &point) {
  std::optional<std::string> address;
  if (!table.String("address", address)) return false;
  if (!address) return table.Missing("address");
  const std::string &a = *address;
  if (a.size() < 2 || (a[0] != '$' && a[0] != '@')) {
    return table.Fail("address",
                      "must begin with \"$\" or \"@\" and name a point");
  }
  if (a.size() > ULO_ADDRESS_MAX) {
    return table.Fail(
        "address",
        "longer than " + std::to_string(ULO_ADDRESS_MAX) + " characters");
  }
  for (unsigned char c : a) {
    if (c <= 0x20 || c >= 0x7F || c == '=') {
      return table.Fail("address",
                        "only printable characters, no spaces or \"=\"");
    }
  }
  point.address = *address;
  return true;
}

std::optional<Point::Kind> KindNamed(std::string_view name) {
  if (name == "analog") return Point::Kind::kAnalog;
  if (name == "digital") return Point::Kind::kDigital;
  return std::nullopt;
}

bool ReadKind(const TomlTable &table, Point &point) {
  std::optional<Point::Kind> kind;
  if (!table.Enum("kind", "\"analog\" or \"digital\"", KindNamed, kind)) {
    return false;
  }
  if (!kind) return table.Missing("kind");
  point.kind = *kind;
  return true;
}

// An analog value is any number, a digital one 0, 1, true or false.
bool ReadValue(const TomlTable &table, Point &point) {
  const toml::node *value = table.table().get("value");
  if (value == nullptr) return table.Missing("value");
  if (point.kind == Point::Kind::kAnalog) {
    std::optional<double> number;
    if (!table.Number("value", number)) return false;
    point.value = Round2(*number);
  } else if (value->is_boolean()) {
    point.value = **value->as_boolean() ? 1 : 0;
  } else if (value->is_integer() && **value->as_integer() >= 0 &&
             **value->as_integer() <= 1) {
    point.value = static_cast<double>(**value->as_integer());
  } else {
    return table.Fail("value", "a digital value is 0, 1, true or false");
  }
  return true;
}

// Drift fields belong to analog points, toggle to digital ones.
bool CheckKindFields(const TomlTable &table, const Point &point) {
  bool analog = point.kind == Point::Kind::kAnalog;
  for (std::string_view field : {"min", "max", "step"}) {
    if (!analog && table.table().contains(field)) {
      return table.Fail(field, "analog points only");
    }
  }
  if (analog && table.table().contains("toggle")) {
    return table.Fail("toggle", "digital points only");
  }
  return true;
}

bool ReadToggle(const TomlTable &table, Point &point) {
  std::optional<bool> toggle;
  if (!table.Boolean("toggle", toggle)) return false;
  point.toggle = toggle.value_or(true);
  return true;
}

// An analog point drifts in steps within min..max, or (step 0) stays.
bool ReadDrift(const TomlTable &table, Point &point) {
  std::optional<double> min, max, step;
  if (!table.Number("min", min) || !table.Number("max", max) ||
      !table.Number("step", step)) {
    return false;
  }
  point.step = step.value_or(0);
  if (point.step < 0 || (point.step > 0 && point.step < 0.01)) {
    return table.Fail("step", "0 or at least 0.01");
  }
  if (point.step == 0) {
    point.min = min.value_or(point.value);
    point.max = max.value_or(point.value);
    return true;
  }
  if (!min || !max) {
    return table.Fail(table.WhereOf("step"), !min ? "min" : "max",
                      "needed when step is not 0");
  }
  point.min = *min;
  point.max = *max;
  if (point.max - point.min < point.step) {
    return table.Fail("max", "must exceed min by a step");
  }
  if (point.value < point.min || point.value > point.max) {
    return table.Fail("value", "outside min..max");
  }
  return true;
}

bool ReadPoint(const TomlTable &table, Point &point) {
  if (!table.OnlyKeys(
          {"address", "kind", "value", "min", "max", "step", "toggle"}) ||
      !ReadAddress(table, point) || !ReadKind(table, point) ||
      !ReadValue(table, point) || !CheckKindFields(table, point)) {
    return false;
  }
  return point.kind == Point::Kind::kAnalog ? ReadDrift(table, point)
                                            : ReadToggle(table, point);
}

// The file holds [[point]] tables and nothing else.
const toml::array *PointList(TomlReader &reader, const toml::table &root) {
  for (auto &&[key, node] : root) {
    if (key.str() != "point") {
      reader.Fail(node, "",
                  "unknown key \"" + std::string(key.str()) +
                      "\" (points are [[point]] tables)");
      return nullptr;
    }
  }
  const toml::array *list = root["point"].as_array();
  if (list == nullptr || !list->is_array_of_tables()) {
    const toml::node *node = root.get("point");
    ulo::tools::Where where =
        ulo::tools::At(node ? node->source() : root.source());
    where.line = std::max(where.line, 1);
    where.column = std::max(where.column, 1);
    reader.Fail(where, "", "no points: expected [[point]] tables");
    return nullptr;
  }
  return list;
}

bool ReadPoints(std::string_view text, const std::string &name,
                std::vector<Point> &points, FileErrors &errors) {
  TomlReader reader(name, errors);
  toml::table root;
  if (!reader.Parse(text, root)) return false;
  const toml::array *list = PointList(reader, root);
  if (list == nullptr) return false;
  int number = 0;
  for (const toml::node &node : *list) {
    TomlTable table(reader, *node.as_table(),
                    "point " + std::to_string(++number), PointField);
    Point point;
    if (!ReadPoint(table, point)) return false;
    for (const Point &other : points) {
      if (other.address == point.address) {
        return table.Fail("address",
                          "\"" + point.address + "\" is defined twice");
      }
    }
    points.push_back(std::move(point));
  }
  return true;
}

}  // namespace

bool ParsePoints(std::string_view text, const std::string &name,
                 std::vector<Point> &points, std::string &error) {
  FileErrors failures;
  std::vector<Point> loaded;
  if (!ReadPoints(text, name, loaded, failures)) {
    error = failures.list().front().ToString();
    return false;
  }
  points = std::move(loaded);
  return true;
}

bool LoadPoints(const std::string &path, std::vector<Point> &points,
                std::string &error) {
  std::optional<std::string> text = ulo::tools::ReadFileText(path);
  if (!text) {
    error = path + ": cannot open the points file";
    return false;
  }
  return ParsePoints(*text, path, points, error);
}

}  // namespace prv1sim
