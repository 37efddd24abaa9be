#include "qz7lib/utils/strings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace qz7lib::utils;
using namespace std::string_literals;

TEST(EndsWithTest, ComparesTheTailByteForByte) {
  EXPECT_TRUE(endsWith("archive.kvz", ".kvz"));
  EXPECT_FALSE(endsWith(".kvz", "x.kvz"));
  EXPECT_FALSE(endsWith("x.KVZ", ".kvz"));
  EXPECT_TRUE(endsWith("abc", ""));
  EXPECT_TRUE(endsWith("", ""));
  EXPECT_FALSE(endsWith("", "a"));
}

TEST(EqualsIgnoreCaseTest, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(equalsIgnoreCase("Dir/File", "dIR/fILE"));
  EXPECT_FALSE(equalsIgnoreCase("a", "a "));
  // U+00C4 and U+00E4 in UTF-8 differ in one byte above 0x7F.
  EXPECT_FALSE(equalsIgnoreCase("\xC3\x84", "\xC3\xA4"));
  // '@' and '`' sit just outside the letter ranges and must not fold.
  EXPECT_FALSE(equalsIgnoreCase("@[", "`{"));
  EXPECT_TRUE(equalsIgnoreCase("", ""));
}

TEST(CaseInsensitiveHashTest, MatchesKnownValuesAndIgnoresCase) {
  EXPECT_EQ(caseInsensitiveHash(""), 0u);
  EXPECT_EQ(caseInsensitiveHash("abc"), 0x9115513a7db3a02fu);
  EXPECT_EQ(caseInsensitiveHash("Abc"), 0x9115513a7db3a02fu);
  EXPECT_EQ(caseInsensitiveHash("ABC"), 0x9115513a7db3a02fu);
  EXPECT_EQ(caseInsensitiveHash("a"), 0xaf63dc4d24396645u);
  EXPECT_EQ(caseInsensitiveHash("A"), 0xaf63dc4d24396645u);
  EXPECT_NE(caseInsensitiveHash("ab"), caseInsensitiveHash("ba"));
  EXPECT_NE(caseInsensitiveHash("\xC3\x84"), caseInsensitiveHash("\xC3\xA4"));
}

TEST(IsAsciiTest, RejectsAnyByteFrom0x80) {
  EXPECT_TRUE(isAscii(""));
  EXPECT_TRUE(isAscii("\x7F"));
  EXPECT_TRUE(isAscii("a\0b"s));
  EXPECT_FALSE(isAscii("\x80"));
  EXPECT_FALSE(isAscii("abc\x80xyz"));
  EXPECT_FALSE(isAscii("tail\xFF"));
}

TEST(LessIgnoreCaseTest, OrdersLoweredBytesAsSignedValues) {
  EXPECT_TRUE(lessIgnoreCase("a", "B"));
  EXPECT_TRUE(lessIgnoreCase("B", "c"));
  EXPECT_TRUE(lessIgnoreCase("abc", "ABD"));
  EXPECT_TRUE(lessIgnoreCase("ab", "abc"));
  EXPECT_FALSE(lessIgnoreCase("abc", "ab"));
  EXPECT_FALSE(lessIgnoreCase("Ab", "aB"));
  EXPECT_FALSE(lessIgnoreCase("aB", "Ab"));
  EXPECT_FALSE(lessIgnoreCase("", ""));
  EXPECT_TRUE(lessIgnoreCase("", "a"));
  EXPECT_TRUE(lessIgnoreCase("_x", "Ax"));
  EXPECT_TRUE(lessIgnoreCase("\xC3\xA9t\xC3\xA9", "a"));
  EXPECT_TRUE(lessIgnoreCase("\xC3", "0"));
  EXPECT_FALSE(lessIgnoreCase("a", "\xC3"));
}

TEST(LessIgnoreCaseTest, SortsAFileListAsAComparator) {
  std::vector<std::string> names = {"b.txt", "A.txt", "_x", "\xC3\xA9.txt", "a.TXT", "a"};
  std::stable_sort(names.begin(), names.end(), lessIgnoreCase);
  EXPECT_EQ(names, (std::vector<std::string>{"\xC3\xA9.txt", "_x", "a", "A.txt", "a.TXT", "b.txt"}));
}

TEST(ReplaceFirstTest, ReplacesOnlyTheLeftmostOccurrence) {
  EXPECT_EQ(replaceFirst("a/b/a/c", "a/", "x/"), "x/b/a/c");
  EXPECT_EQ(replaceFirst("a/b/a/c", "zz", "y"), "a/b/a/c");
  EXPECT_EQ(replaceFirst("a/b/a/c", "", "pre/"), "pre/a/b/a/c");
  EXPECT_EQ(replaceFirst("ab", "abc", "x"), "ab");
  EXPECT_EQ(replaceFirst("a/b", "A/", "x/"), "a/b");
  EXPECT_EQ(replaceFirst("aaa", "a", "aa"), "aaaa");
  EXPECT_EQ(replaceFirst("a/b", "a/", ""), "b");
  EXPECT_EQ(replaceFirst("", "", "x"), "x");
}

TEST(CaseMappingTest, ChangesOnlyAsciiLetters) {
  EXPECT_EQ(toLower("Data\\SUB\\File.TXT"), "data\\sub\\file.txt");
  EXPECT_EQ(toUpper("stra\xC3\x9F" "e"), "STRA\xC3\x9F" "E");
  EXPECT_EQ(toLower("@[`{\xC3\x84"), "@[`{\xC3\x84");
  EXPECT_EQ(toUpper("@[`{\xC3\xA4"), "@[`{\xC3\xA4");
  EXPECT_EQ(toLower("A\0B"s), "a\0b"s);

  std::string text = "MiXeD/Path.Ext";
  toLowerInPlace(text);
  EXPECT_EQ(text, "mixed/path.ext");
  toUpperInPlace(text);
  EXPECT_EQ(text, "MIXED/PATH.EXT");
}

TEST(TrimTest, RemovesOnlySpaceTabCarriageReturnAndLineFeed) {
  EXPECT_EQ(trim(" \t x y \r\n"), "x y");
  EXPECT_EQ(trim("\r\n\t "), "");
  EXPECT_EQ(trim(""), "");
  EXPECT_EQ(trim("\vx\f"), "\vx\f");
  EXPECT_EQ(trim("\0x"s), "\0x"s);
  EXPECT_EQ(trim("x"), "x");
}

TEST(Utf8ConversionTest, ConvertsSurrogatePairsBothWays) {
  const std::string smiley = "\xF0\x9F\x98\x80";
  const std::wstring units = {wchar_t(0xD83D), wchar_t(0xDE00)};
  EXPECT_EQ(utf8ToWide(smiley), units);
  EXPECT_EQ(wideToUtf8(units), smiley);
  EXPECT_EQ(utf16ToUtf8(u"\xD83D\xDE00"), smiley);
  EXPECT_EQ(utf16ToUtf8(u"\u00E9t\u00E9"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(utf8ToWide(""), L"");
}

TEST(Utf8ConversionTest, KeepsEmbeddedNulAndByteOrderMark) {
  EXPECT_EQ(utf8ToWide("a\0b"s), L"a\0b"s);
  EXPECT_EQ(wideToUtf8(L"a\0b"s), "a\0b"s);
  EXPECT_EQ(utf8ToWide("\xEF\xBB\xBF" "a"), (std::wstring{wchar_t(0xFEFF), L'a'}));
  EXPECT_EQ(wideToUtf8(L"a"), "a");
}

TEST(Utf8ConversionTest, RejectsIllFormedUtf16) {
  const std::vector<std::wstring> bad = {
      {wchar_t(0xD83D), L'A'},   // high surrogate followed by no low one
      {L'A', wchar_t(0xD83D)},   // high surrogate at the very end
      {wchar_t(0xDE00), L'A'},   // low surrogate without a high one
  };
  for (const auto& text : bad) {
    EXPECT_THROW(
        {
          try {
            wideToUtf8(text);
          } catch (const std::range_error& e) {
            EXPECT_STREQ(e.what(), "bad conversion");
            throw;
          }
        },
        std::range_error);
  }
  EXPECT_THROW(utf16ToUtf8(u"x\xD83D"), std::range_error);
  EXPECT_THROW(utf16ToUtf8(std::u16string{char16_t(0xD83D), u'A'}), std::range_error);
}

TEST(Utf8ConversionTest, RejectsIllFormedUtf8) {
  const std::vector<std::string> bad = {
      "\x80",              // continuation byte where a sequence begins
      "\xC3\x41",          // lead byte followed by ASCII
      "\xF4\x90\x80\x80",  // U+110000
      "\xC0\x80",          // over-long NUL
      "\xF8\x88\x80\x80\x80",
      "\xED\xA0\x80",      // encoded high surrogate
      "\xED\xBF\xBF",      // encoded low surrogate
      "a\xC3",             // cut off at the end
      "\xF0\x9F\x98",
  };
  for (const auto& text : bad) {
    try {
      utf8ToWide(text);
      ADD_FAILURE() << "accepted " << ::testing::PrintToString(text);
    } catch (const std::range_error& e) {
      EXPECT_STREQ(e.what(), "bad conversion");
    }
  }
  // The last code point below the surrogates is fine.
  EXPECT_EQ(utf8ToWide("\xED\x9F\xBF"), std::wstring(1, wchar_t(0xD7FF)));
}

// Restores the LC_CTYPE category that a test changed.
class CtypeLocaleGuard {
 public:
  CtypeLocaleGuard() : saved_(std::setlocale(LC_CTYPE, nullptr)) {}
  ~CtypeLocaleGuard() { std::setlocale(LC_CTYPE, saved_.c_str()); }

 private:
  std::string saved_;
};

TEST(ToWideStringTest, ConvertsUpToTheFirstNulInTheStartupLocale) {
  EXPECT_EQ(toWideString("abc"), L"abc");
  EXPECT_EQ(toWideString(""), L"");
  EXPECT_EQ(toWideString("ab\0cd"s), L"ab");
}

TEST(ToWideStringTest, ThrowsOnTextTheLocaleCannotConvert) {
  CtypeLocaleGuard guard;
  ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
  EXPECT_THROW(toWideString("a\xFF"), std::range_error);
}

TEST(ToWideStringTest, FollowsTheLocaleInEffect) {
  CtypeLocaleGuard guard;
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
  EXPECT_EQ(toWideString("\xC3\xA9t\xC3\xA9"), L"\u00E9t\u00E9");
  EXPECT_EQ(toWideString("\xF0\x9F\x98\x80").size(), 1u);
  EXPECT_THROW(toWideString("\xC3"), std::range_error);
}

}  // namespace
