#include "toml_reader.h"

#include <gtest/gtest.h>

namespace ulo::tools {
namespace {

std::optional<int> Odd(std::string_view name) {
  if (name == "one") return 1;
  if (name == "three") return 3;
  return std::nullopt;
}

std::string Numbered(const std::string &table, std::string_view key) {
  return table + ", field " + std::string(key);
}

struct Case {
  const char *body;  // of the table [t], from line 2
  bool (*read)(const TomlTable &t);
  // "LINE:COLUMN: FIELD: MESSAGE" for each mistake, a line each; empty:
  // accepted without a word.
  const char *errors;
};

// Each mistake's text without the file name, a line each.
std::string Texts(const FileErrors &errors, const std::string &file) {
  std::string texts;
  for (const FileError &error : errors.list()) {
    if (!texts.empty()) texts += '\n';
    texts += error.ToString().substr(file.size() + 1);
  }
  return texts;
}

TEST(TomlReader, EachFieldKindReadsItsValueOrSaysWhereAndWhatToDo) {
  const Case cases[] = {
      {"x = \"a\"",
       [](const TomlTable &t) {
         std::optional<std::string> v;
         return t.String("x", v) && v == "a";
       },
       ""},
      {"x = 1",
       [](const TomlTable &t) {
         std::optional<std::string> v;
         return t.String("x", v);
       },
       "2:5: t.x: must be a string"},
      {"",
       [](const TomlTable &t) {
         std::optional<std::string> v;
         return t.String("x", v) && !v;
       },
       ""},
      {"x = 8",
       [](const TomlTable &t) {
         std::optional<int64_t> v;
         return t.Integer("x", 5, 8, v) && v == 8;
       },
       ""},
      {"x = 9",
       [](const TomlTable &t) {
         std::optional<int64_t> v;
         return t.Integer("x", 5, 8, v, " (a byte's bits)");
       },
       "2:5: t.x: must be 5 to 8 (a byte's bits)"},
      {"x = 7.0",
       [](const TomlTable &t) {
         std::optional<int64_t> v;
         return t.Integer("x", 5, 8, v);
       },
       "2:5: t.x: must be a whole number"},
      {"x = 2",
       [](const TomlTable &t) {
         std::optional<double> v;
         return t.Number("x", 0.5, 2, v) && v == 2.0;
       },
       ""},
      {"x = 0.25",
       [](const TomlTable &t) {
         std::optional<double> v;
         return t.Number("x", 0.5, 2, v);
       },
       "2:5: t.x: must be 0.5 to 2"},
      {"x = -1e9",
       [](const TomlTable &t) {
         std::optional<double> v;
         return t.Number("x", v) && v == -1e9;
       },
       ""},
      {"x = \"1\"",
       [](const TomlTable &t) {
         std::optional<double> v;
         return t.Number("x", v);
       },
       "2:5: t.x: must be a number"},
      {"x = false",
       [](const TomlTable &t) {
         std::optional<bool> v;
         return t.Boolean("x", v) && v == false;
       },
       ""},
      {"x = 0",
       [](const TomlTable &t) {
         std::optional<bool> v;
         return t.Boolean("x", v);
       },
       "2:5: t.x: must be true or false"},
      {"x = \"three\"",
       [](const TomlTable &t) {
         std::optional<int> v;
         return t.Enum("x", "one or three", Odd, v) && v == 3;
       },
       ""},
      {"x = \"two\"",
       [](const TomlTable &t) {
         std::optional<int> v;
         return t.Enum("x", "one or three", Odd, v);
       },
       "2:5: t.x: must be one or three, not 'two'"},
      {"x = 1",
       [](const TomlTable &t) {
         std::optional<int> v;
         return t.Enum("x", "one or three", Odd, v);
       },
       "2:5: t.x: must be a string"},
      {"", [](const TomlTable &t) { return t.Missing("x", "or set y"); },
       "1:1: t.x: missing (or set y)"},
      {"x = 1\ny = 2\nw = 3",
       [](const TomlTable &t) {
         return t.OnlyKeys({"x", "z"});
       },
       "3:1: t.y: unknown field (known here: x, z)\n"
       "4:1: t.w: unknown field (known here: x, z)"},
      {"x = 1",
       [](const TomlTable &t) {
         t.Warn("x", "unusual");
         return true;
       },
       "2:5: warning: t.x: unusual"},
      {"x = 1", [](const TomlTable &t) { return t.Fail("x", "wrong"); },
       "2:5: t.x: wrong"},
      {"x = 1",
       [](const TomlTable &t) {
         return t.Fail(t.WhereOf("x"), "y", "needed beside x");
       },
       "2:5: t.y: needed beside x"},
      {"[t.x]\ny = 1",
       [](const TomlTable &t) {
         std::optional<TomlTable> x;
         return t.Table("x", "must be a table ([t.x])", x) && x &&
                x->Fail("y", "seen");
       },
       "3:5: t.x.y: seen"},
      {"x = 1",
       [](const TomlTable &t) {
         std::optional<TomlTable> x;
         return t.Table("x", "must be a table ([t.x])", x);
       },
       "2:5: t.x: must be a table ([t.x])"},
      {"[[t.x]]\n[[t.x]]\ny = 2",
       [](const TomlTable &t) {
         int count = 0;
         return t.Tables("x", "a list", "a table",
                         [&](const TomlTable &x, int number) {
                           return ++count == number &&
                                  (number == 1 || x.Fail("y", "second"));
                         });
       },
       "4:5: t.x[2].y: second"},
      {"x = 1",
       [](const TomlTable &t) {
         return t.Tables("x", "must be a list", "a table",
                         [](const TomlTable &, int) { return true; });
       },
       "2:5: t.x: must be a list"},
      {"x = [1, {y = 1}, 2]",
       [](const TomlTable &t) {
         return t.Tables(
             "x", "a list", "must be a table",
             [](const TomlTable &x, int) { return x.Fail("y", "still read"); });
       },
       "2:6: t.x[1]: must be a table\n"
       "2:14: t.x[2].y: still read\n"
       "2:18: t.x[3]: must be a table"},
  };
  for (const Case &c : cases) {
    std::string text = std::string("[t]\n") + c.body + "\n";
    FileErrors errors;
    TomlReader reader("test.toml", errors);
    toml::table root;
    ASSERT_TRUE(reader.Parse(text, root)) << Texts(errors, "test.toml");
    std::optional<TomlTable> t;
    ASSERT_TRUE(TomlTable(reader, root).Table("t", "", t) && t);
    bool read = c.read(*t);
    errors.Sort();  // keys come in name order
    EXPECT_EQ(read, !errors.HasErrors()) << text;
    EXPECT_EQ(Texts(errors, "test.toml"), c.errors) << text;
  }
}

TEST(TomlReader, SyntaxErrorsAndOtherNamingsKeepTheSameShape) {
  FileErrors errors;
  TomlReader reader("bad.toml", errors);
  toml::table root;
  EXPECT_FALSE(reader.Parse("a = 1\nb = \n", root));
  ASSERT_EQ(errors.list().size(), 1u);
  EXPECT_EQ(errors.list()[0].field, "");
  EXPECT_EQ(errors.list()[0].ToString().rfind("bad.toml:2:", 0), 0u)
      << errors.list()[0].ToString();

  ASSERT_TRUE(reader.Parse("a = 1\n", root));
  TomlTable point(reader, root, "point 3", Numbered);
  EXPECT_FALSE(point.Fail("a", "too small"));
  EXPECT_FALSE(TomlTable(reader, root).Fail("a", "top"));
  reader.Warn({1, 1}, "", "first");
  // In file order, the syntax error last; equal places as found.
  errors.Sort();
  EXPECT_EQ(Texts(errors, "bad.toml").substr(0, 65),
            "1:1: warning: first\n"
            "1:5: point 3, field a: too small\n"
            "1:5: a: top\n");
  EXPECT_EQ(errors.list().back().where.line, 2);
  EXPECT_EQ(errors.Count(false), 3);
  EXPECT_EQ(errors.Count(true), 1);
}

}  // namespace
}  // namespace ulo::tools
