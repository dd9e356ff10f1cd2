// The text layer's edges: where a writer stops, what `fits` says after,
// the number forms the messages use, quoting, line ends and the reader's
// last line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/text.h"

namespace {

std::string Written(const text::Writer<char>& w) { return std::string(w.bytes, w.used); }

struct NumberCase {
  uint64_t value;
  text::Number how;
  size_t capacity;
  const char* expected;
  bool fits;
};

TEST(TextWriter, NumbersInEveryFormTheMessagesUseAndWhereTheyAreCut) {
  const NumberCase cases[] = {
      {0, {}, 8, "0", true},
      {18446744073709551615u, {}, 20, "18446744073709551615", true},
      {5, {.width = 4, .zeroFill = false, .negative = true}, 8, "  -5", true},
      {5, {.width = 4, .negative = true}, 8, "-005", true},
      {0x0A, {.base = 16, .upper = true, .width = 2}, 8, "0A", true},
      {0xFF, {.base = 16}, 8, "ff", true},
      {0x1234, {.base = 16, .width = 2}, 8, "1234", true},  // a width never cuts
      {12345, {}, 3, "123", false},
      {7, {.width = 3}, 2, "00", false},
  };
  for (const NumberCase& c : cases) {
    char bytes[32];
    text::Writer<char> w = text::WriterOn(bytes, c.capacity);
    text::PutNumber(&w, c.value, c.how);
    EXPECT_EQ(Written(w), c.expected) << c.value;
    EXPECT_EQ(w.fits, c.fits) << c.value;
  }
}

TEST(TextWriter, NothingIsAddedOnceSomethingDidNotFit) {
  char bytes[4];
  text::Writer<char> w = text::WriterOn(bytes, sizeof bytes);
  text::Put(&w, "abc");
  EXPECT_TRUE(w.fits);
  text::Put(&w, "de");  // 'd' fits, 'e' does not
  text::PutChar(&w, 'f');
  text::Put(&w, "");
  EXPECT_EQ(Written(w), "abcd");
  EXPECT_FALSE(w.fits);

  text::Writer<char> empty = text::WriterOn(bytes, 0);
  text::Put(&empty, "");
  EXPECT_TRUE(empty.fits) << "nothing written, nothing refused";
  text::PutChar(&empty, 'x');
  EXPECT_FALSE(empty.fits);
}

TEST(TextWriter, CsvFieldsAreQuotedOnlyWhenTheyMustBe) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"BENCH-0042", "BENCH-0042"},
      {"BENCH,0042", "\"BENCH,0042\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\r\nlines", "\"two\r\nlines\""},
  };
  for (const auto& [field, expected] : cases) {
    char bytes[64];
    text::Writer<char> w = text::WriterOn(bytes, sizeof bytes);
    text::PutCsvField(&w, field);
    EXPECT_EQ(Written(w), expected);
  }
}

TEST(TextWriter, LineFeedsWidenToCrLfAndAPairIsNeverSplit) {
  struct Case {
    size_t capacity;
    std::u16string expected;
    size_t taken;
  };
  const char from[] = "ab\ncd\xE9";
  const Case cases[] = {
      {16, u"ab\r\ncd\u00E9", 6},
      {4, u"ab\r\n", 3},
      {3, u"ab", 2},  // the CR LF waits for the next text
      {0, u"", 0},
  };
  for (const Case& c : cases) {
    char16_t wide[16];
    text::Writer<char16_t> w = text::WriterOn(wide, c.capacity);
    EXPECT_EQ(text::PutCrLf(&w, from, sizeof from - 1), c.taken) << c.capacity;
    EXPECT_EQ(std::u16string(wide, w.used), c.expected) << c.capacity;
    EXPECT_TRUE(w.fits);
  }
}

TEST(TextReader, LinesWithAndWithoutTheirLineFeed) {
  struct Case {
    const char* all;
    std::vector<std::pair<std::string, bool>> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"a\nb", {{"a", true}, {"b", false}}},
      {"\n\n", {{"", true}, {"", true}}},
      {"key=value\n", {{"key=value", true}}},
  };
  for (const Case& c : cases) {
    std::vector<std::pair<std::string, bool>> lines;
    text::Span line;
    bool ended = false;
    for (size_t at = 0; text::ReadLine({c.all, text::Length(c.all)}, &at, &line, &ended);)
      lines.emplace_back(std::string(line.text, line.length), ended);
    EXPECT_EQ(lines, c.lines) << c.all;
  }
  EXPECT_TRUE(text::Is({"allow", 5}, "allow"));
  EXPECT_FALSE(text::Is({"allow", 4}, "allow"));
  EXPECT_FALSE(text::Is({"allow", 5}, "all"));
  EXPECT_TRUE(text::Is({"", 0}, ""));
}

}  // namespace
