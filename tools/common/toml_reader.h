// Reading the tools' TOML files: the parse, and one helper per kind of
// field. Every failure names the file, the line and column, the field and
// what to do; all of them are kept, so that one run reports every mistake.
// Each helper answers false on a failure and leaves its std::optional empty,
// as an absent field does.
#ifndef ULOPR1_TOOLS_COMMON_TOML_READER_H
#define ULOPR1_TOOLS_COMMON_TOML_READER_H

#include <toml++/toml.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "file_error.h"

namespace ulo::tools {

Where At(const toml::source_region &region);

// A value as messages show it: 'text'.
std::string Quoted(std::string_view text);

// The whole of a file; nothing when it cannot be opened.
std::optional<std::string> ReadFileText(const std::string &path);

// Collects the mistakes found in one file.
class TomlReader {
 public:
  // file names the file in every error.
  TomlReader(std::string file, FileErrors &errors);

  // Parses the text; a syntax error fails with toml++'s description.
  bool Parse(std::string_view text, toml::table &root);

  // Adds an error; answers false.
  bool Fail(Where where, std::string field, std::string message);
  bool Fail(const toml::node &node, std::string field, std::string message);
  // Adds a warning.
  void Warn(Where where, std::string field, std::string message);

 private:
  std::string file_;
  FileErrors &errors_;
};

// How a table's fields are named in messages, from the table's own name.
using FieldNamer = std::string (*)(const std::string &table,
                                   std::string_view key);

// "table.key", or "key" in the unnamed top table.
std::string DottedField(const std::string &table, std::string_view key);

// One table of the file and the names its fields go by.
class TomlTable {
 public:
  TomlTable(TomlReader &reader, const toml::table &table, std::string name = {},
            FieldNamer namer = DottedField);

  const toml::table &table() const { return table_; }
  std::string Field(std::string_view key) const;
  // The table's header.
  Where where() const;
  // The key's value, or the table's header when the key is absent.
  Where WhereOf(std::string_view key) const;

  // Fails on the key's field, at its value (the table when absent) or at
  // where.
  bool Fail(std::string_view key, std::string message) const;
  bool Fail(Where where, std::string_view key, std::string message) const;
  void Warn(std::string_view key, std::string message) const;
  // "missing", or "missing (hint)", at the table.
  bool Missing(std::string_view key, std::string_view hint = {}) const;
  // Fails on each key that is not known, naming those that are.
  bool OnlyKeys(std::initializer_list<std::string_view> known) const;

  bool String(std::string_view key, std::optional<std::string> &out) const;
  // A whole number from min to max; why, when given, follows the range in
  // the message.
  bool Integer(std::string_view key, int64_t min, int64_t max,
               std::optional<int64_t> &out, std::string_view why = {}) const;
  // An integer or floating-point number: any, or from min to max.
  bool Number(std::string_view key, std::optional<double> &out) const;
  bool Number(std::string_view key, double min, double max,
              std::optional<double> &out) const;
  bool Boolean(std::string_view key, std::optional<bool> &out) const;
  // A name that lookup (std::optional<T>(std::string_view)) knows; choices
  // lists the names for the message ("none, odd or even").
  template <typename T, typename Lookup>
  bool Enum(std::string_view key, std::string_view choices, Lookup lookup,
            std::optional<T> &out) const;
  // A table under key, named like the key; not_table says what it must be.
  bool Table(std::string_view key, std::string_view not_table,
             std::optional<TomlTable> &out) const;
  // Each table of an array under key, in file order, named key[N] and given
  // its number N (from 1); false when an element is not a table or each
  // answered false for one. not_list and not_table say what the array and
  // its elements must be.
  bool Tables(std::string_view key, std::string_view not_list,
              std::string_view not_table,
              const std::function<bool(const TomlTable &table, int number)>
                  &each) const;

 private:
  TomlReader &reader_;
  const toml::table &table_;
  std::string name_;
  FieldNamer namer_;
};

template <typename T, typename Lookup>
bool TomlTable::Enum(std::string_view key, std::string_view choices,
                     Lookup lookup, std::optional<T> &out) const {
  std::optional<std::string> name;
  if (!String(key, name)) return false;
  if (!name) return true;
  out = lookup(*name);
  return out.has_value() || Fail(key, "must be " + std::string(choices) +
                                          ", not " + Quoted(*name));
}

}  // namespace ulo::tools

#endif  // ULOPR1_TOOLS_COMMON_TOML_READER_H
