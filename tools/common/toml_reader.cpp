#include "toml_reader.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace ulo::tools {

Where At(const toml::source_region &region) {
  return {static_cast<int>(region.begin.line),
          static_cast<int>(region.begin.column)};
}

std::string Quoted(std::string_view text) {
  std::string quoted(1, '\'');
  quoted.append(text);
  quoted += '\'';
  return quoted;
}

std::optional<std::string> ReadFileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TomlReader::TomlReader(std::string file, FileErrors &errors)
    : file_(std::move(file)), errors_(errors) {}

bool TomlReader::Parse(std::string_view text, toml::table &root) {
  try {
    root = toml::parse(text, file_);
  } catch (const toml::parse_error &failure) {
    return Fail(At(failure.source()), "", std::string(failure.description()));
  }
  return true;
}

bool TomlReader::Fail(Where where, std::string field, std::string message) {
  errors_.Add({file_, where, std::move(field), std::move(message)});
  return false;
}

void TomlReader::Warn(Where where, std::string field, std::string message) {
  errors_.Add({file_, where, std::move(field), std::move(message), true});
}

bool TomlReader::Fail(const toml::node &node, std::string field,
                      std::string message) {
  return Fail(At(node.source()), std::move(field), std::move(message));
}

std::string DottedField(const std::string &table, std::string_view key) {
  return table.empty() ? std::string(key) : table + "." + std::string(key);
}

TomlTable::TomlTable(TomlReader &reader, const toml::table &table,
                     std::string name, FieldNamer namer)
    : reader_(reader), table_(table), name_(std::move(name)), namer_(namer) {}

std::string TomlTable::Field(std::string_view key) const {
  return namer_(name_, key);
}

Where TomlTable::where() const { return At(table_.source()); }

Where TomlTable::WhereOf(std::string_view key) const {
  const toml::node *node = table_.get(key);
  return node ? At(node->source()) : where();
}

bool TomlTable::Fail(std::string_view key, std::string message) const {
  return Fail(WhereOf(key), key, std::move(message));
}

bool TomlTable::Fail(Where where, std::string_view key,
                     std::string message) const {
  return reader_.Fail(where, Field(key), std::move(message));
}

void TomlTable::Warn(std::string_view key, std::string message) const {
  reader_.Warn(WhereOf(key), Field(key), std::move(message));
}

bool TomlTable::Missing(std::string_view key, std::string_view hint) const {
  std::string message = "missing";
  if (!hint.empty()) message += " (" + std::string(hint) + ")";
  return Fail(where(), key, std::move(message));
}

bool TomlTable::OnlyKeys(std::initializer_list<std::string_view> known) const {
  std::string names;
  for (std::string_view name : known) {
    names += (names.empty() ? "" : ", ") + std::string(name);
  }
  bool known_only = true;
  for (auto &&[key, node] : table_) {
    if (std::find(known.begin(), known.end(), key.str()) == known.end()) {
      known_only = Fail(At(key.source()), key.str(),
                        "unknown field (known here: " + names + ")");
    }
  }
  return known_only;
}

bool TomlTable::String(std::string_view key,
                       std::optional<std::string> &out) const {
  const toml::node *node = table_.get(key);
  if (!node) return true;
  if (!node->is_string()) return Fail(key, "must be a string");
  out = node->as_string()->get();
  return true;
}

bool TomlTable::Integer(std::string_view key, int64_t min, int64_t max,
                        std::optional<int64_t> &out,
                        std::string_view why) const {
  const toml::node *node = table_.get(key);
  if (!node) return true;
  if (!node->is_integer()) return Fail(key, "must be a whole number");
  int64_t value = node->as_integer()->get();
  if (value < min || value > max) {
    return Fail(key, "must be " + std::to_string(min) + " to " +
                         std::to_string(max) + std::string(why));
  }
  out = value;
  return true;
}

bool TomlTable::Number(std::string_view key, std::optional<double> &out) const {
  const toml::node *node = table_.get(key);
  if (!node) return true;
  if (const toml::value<int64_t> *integer = node->as_integer()) {
    out = static_cast<double>(integer->get());
  } else if (const toml::value<double> *real = node->as_floating_point()) {
    out = real->get();
  } else {
    return Fail(key, "must be a number");
  }
  return true;
}

bool TomlTable::Number(std::string_view key, double min, double max,
                       std::optional<double> &out) const {
  std::optional<double> value;
  if (!Number(key, value)) return false;
  if (value && !(*value >= min && *value <= max)) {
    std::ostringstream range;
    range << "must be " << min << " to " << max;
    return Fail(key, range.str());
  }
  out = value;
  return true;
}

bool TomlTable::Boolean(std::string_view key, std::optional<bool> &out) const {
  const toml::node *node = table_.get(key);
  if (!node) return true;
  if (!node->is_boolean()) return Fail(key, "must be true or false");
  out = node->as_boolean()->get();
  return true;
}

bool TomlTable::Table(std::string_view key, std::string_view not_table,
                      std::optional<TomlTable> &out) const {
  const toml::node *node = table_.get(key);
  if (!node) return true;
  const toml::table *table = node->as_table();
  if (!table) return Fail(key, std::string(not_table));
  out.emplace(reader_, *table, Field(key), namer_);
  return true;
}

bool TomlTable::Tables(
    std::string_view key, std::string_view not_list, std::string_view not_table,
    const std::function<bool(const TomlTable &table, int number)> &each) const {
  const toml::node *node = table_.get(key);
  if (!node) return true;
  const toml::array *list = node->as_array();
  if (!list) return Fail(key, std::string(not_list));
  bool all = true;
  for (std::size_t i = 0; i < list->size(); ++i) {
    int number = static_cast<int>(i + 1);
    std::string name = Field(key) + "[" + std::to_string(number) + "]";
    const toml::node &element = *list->get(i);
    const toml::table *table = element.as_table();
    if (!table) {
      all = reader_.Fail(element, name, std::string(not_table));
    } else if (!each(TomlTable(reader_, *table, name, namer_), number)) {
      all = false;
    }
  }
  return all;
}

}  // namespace ulo::tools
