#include "points.h"

#include <toml++/toml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

#include "protocol/number.h"

namespace prv1sim {
namespace {

// Analog values are kept at the precision they are reported with, so a
// stored value and its report always agree.
double Round2(double value) { return std::round(value * 100.0) / 100.0; }

std::optional<double> ParseNumber(std::string_view text) {
  double value = 0;
  const char* end = text.data() + text.size();
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

std::string FormatValue(const Point& point) {
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

std::string ReportText(const Point& point) {
  return point.address + "=" + FormatValue(point);
}

PointSet::PointSet(std::vector<Point> points) : points_(std::move(points)) {
  for (std::size_t i = 0; i < points_.size(); ++i) {
    index_.emplace(points_[i].address, i);
  }
}

Point* PointSet::Find(std::string_view address) {
  auto it = index_.find(address);
  return it == index_.end() ? nullptr : &points_[it->second];
}

PointSet::WriteResult PointSet::Apply(std::string_view address,
                                      std::string_view value_text) {
  Point* point = Find(address);
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

const Point* PointSet::Drift(std::mt19937& random) {
  std::vector<Point*> changing;
  for (Point& point : points_) {
    if (point.Changes()) changing.push_back(&point);
  }
  if (changing.empty()) return nullptr;
  Point& point = *changing[std::uniform_int_distribution<std::size_t>(
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

// Builds "FILE:LINE:COLUMN: message" from a place in the file.
class ErrorSink {
 public:
  ErrorSink(const std::string& name, std::string& error)
      : name_(name), error_(error) {}

  bool Fail(const toml::source_region& where, const std::string& message) {
    std::ostringstream out;
    out << name_ << ':' << where.begin.line << ':' << where.begin.column << ": "
        << message;
    error_ = out.str();
    return false;
  }

 private:
  const std::string& name_;
  std::string& error_;
};

std::string FieldName(std::size_t number, std::string_view field) {
  return "point " + std::to_string(number) + ", field \"" + std::string(field) +
         "\"";
}

bool ReadPoint(const toml::table& table, std::size_t number, ErrorSink& sink,
               Point& point) {
  static constexpr std::string_view kFields[] = {
      "address", "kind", "value", "min", "max", "step", "toggle"};
  for (auto&& [key, node] : table) {
    bool known = false;
    for (std::string_view field : kFields) known = known || key.str() == field;
    if (!known) {
      return sink.Fail(node.source(),
                       FieldName(number, key.str()) + ": unknown field");
    }
  }
  auto require = [&](std::string_view field) -> const toml::node* {
    const toml::node* node = table.get(field);
    if (node == nullptr) {
      sink.Fail(table.source(), FieldName(number, field) + ": missing");
    }
    return node;
  };
  auto number_of = [&](std::string_view field,
                       std::optional<double>& out) -> bool {
    const toml::node* node = table.get(field);
    if (node == nullptr) return true;
    if (!node->is_number()) {
      return sink.Fail(node->source(),
                       FieldName(number, field) + ": must be a number");
    }
    out = node->value<double>();
    return true;
  };

  const toml::node* address = require("address");
  if (address == nullptr) return false;
  if (!address->is_string()) {
    return sink.Fail(address->source(),
                     FieldName(number, "address") + ": must be a string");
  }
  point.address = **address->as_string();
  const std::string& a = point.address;
  if (a.size() < 2 || (a[0] != '$' && a[0] != '@')) {
    return sink.Fail(address->source(),
                     FieldName(number, "address") +
                         ": must begin with \"$\" or \"@\" and name a point");
  }
  if (a.size() > kMaxAddress) {
    return sink.Fail(address->source(),
                     FieldName(number, "address") + ": longer than " +
                         std::to_string(kMaxAddress) + " characters");
  }
  for (unsigned char c : a) {
    if (c <= 0x20 || c >= 0x7F || c == '=') {
      return sink.Fail(address->source(),
                       FieldName(number, "address") +
                           ": only printable characters, no spaces or \"=\"");
    }
  }

  const toml::node* kind = require("kind");
  if (kind == nullptr) return false;
  std::optional<std::string_view> kind_text = kind->value<std::string_view>();
  if (kind_text == "analog") {
    point.kind = Point::Kind::kAnalog;
  } else if (kind_text == "digital") {
    point.kind = Point::Kind::kDigital;
  } else {
    return sink.Fail(kind->source(), FieldName(number, "kind") +
                                         ": must be \"analog\" or \"digital\"");
  }
  bool analog = point.kind == Point::Kind::kAnalog;

  const toml::node* value = require("value");
  if (value == nullptr) return false;
  if (analog) {
    std::optional<double> v;
    if (!number_of("value", v)) return false;
    point.value = Round2(*v);
  } else if (value->is_boolean()) {
    point.value = **value->as_boolean() ? 1 : 0;
  } else if (value->is_integer() && **value->as_integer() >= 0 &&
             **value->as_integer() <= 1) {
    point.value = static_cast<double>(**value->as_integer());
  } else {
    return sink.Fail(value->source(), FieldName(number, "value") +
                                          ": a digital value is 0, 1, "
                                          "true or false");
  }

  for (std::string_view field : {"min", "max", "step"}) {
    if (!analog && table.contains(field)) {
      return sink.Fail(table.get(field)->source(),
                       FieldName(number, field) + ": analog points only");
    }
  }
  if (analog && table.contains("toggle")) {
    return sink.Fail(table.get("toggle")->source(),
                     FieldName(number, "toggle") + ": digital points only");
  }

  if (!analog) {
    point.toggle = true;
    if (const toml::node* toggle = table.get("toggle")) {
      if (!toggle->is_boolean()) {
        return sink.Fail(toggle->source(), FieldName(number, "toggle") +
                                               ": must be true or false");
      }
      point.toggle = **toggle->as_boolean();
    }
    return true;
  }

  std::optional<double> min, max, step;
  if (!number_of("min", min) || !number_of("max", max) ||
      !number_of("step", step)) {
    return false;
  }
  point.step = step.value_or(0);
  if (point.step < 0 || (point.step > 0 && point.step < 0.01)) {
    return sink.Fail(table.get("step")->source(),
                     FieldName(number, "step") + ": 0 or at least 0.01");
  }
  if (point.step == 0) {
    point.min = min.value_or(point.value);
    point.max = max.value_or(point.value);
    return true;
  }
  if (!min || !max) {
    return sink.Fail(table.get("step")->source(),
                     FieldName(number, !min ? "min" : "max") +
                         ": needed when step is not 0");
  }
  point.min = *min;
  point.max = *max;
  if (point.max - point.min < point.step) {
    return sink.Fail(table.get("max")->source(),
                     FieldName(number, "max") + ": must exceed min by a step");
  }
  if (point.value < point.min || point.value > point.max) {
    return sink.Fail(value->source(),
                     FieldName(number, "value") + ": outside min..max");
  }
  return true;
}

}  // namespace

bool ParsePoints(std::string_view text, const std::string& name,
                 std::vector<Point>& points, std::string& error) {
  ErrorSink sink(name, error);
  toml::table root;
  try {
    root = toml::parse(text, name);
  } catch (const toml::parse_error& failure) {
    return sink.Fail(failure.source(), std::string(failure.description()));
  }
  for (auto&& [key, node] : root) {
    if (key.str() != "point") {
      return sink.Fail(node.source(), "unknown key \"" +
                                          std::string(key.str()) +
                                          "\" (points are [[point]] tables)");
    }
  }
  const toml::array* list = root["point"].as_array();
  if (list == nullptr || !list->is_array_of_tables()) {
    toml::source_region where = root.source();
    if (const toml::node* node = root.get("point")) where = node->source();
    where.begin.line = std::max<toml::source_index>(where.begin.line, 1);
    where.begin.column = std::max<toml::source_index>(where.begin.column, 1);
    return sink.Fail(where, "no points: expected [[point]] tables");
  }
  std::vector<Point> loaded;
  std::size_t number = 0;
  for (const toml::node& node : *list) {
    ++number;
    Point point;
    if (!ReadPoint(*node.as_table(), number, sink, point)) return false;
    for (const Point& other : loaded) {
      if (other.address == point.address) {
        return sink.Fail(node.as_table()->get("address")->source(),
                         FieldName(number, "address") + ": \"" + point.address +
                             "\" is defined twice");
      }
    }
    loaded.push_back(std::move(point));
  }
  points = std::move(loaded);
  return true;
}

bool LoadPoints(const std::string& path, std::vector<Point>& points,
                std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = path + ": cannot open the points file";
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return ParsePoints(text.str(), path, points, error);
}

}  // namespace prv1sim
