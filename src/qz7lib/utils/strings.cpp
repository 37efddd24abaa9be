#include "qz7lib/utils/strings.h"

#include <algorithm>
#include <codecvt>
#include <cstdint>
#include <cwchar>
#include <locale>
#include <stdexcept>

namespace qz7lib::utils {

namespace {

constexpr std::string_view kTrimSet = " \t\r\n";
constexpr std::string_view kBadConversion = "bad conversion";

// Distance between an upper-case ASCII letter and its lower-case form.
constexpr int kCaseOffset = 'a' - 'A';

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + kCaseOffset) : c;
}

char upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - kCaseOffset) : c;
}

// A UTF-8 encoded surrogate code point (U+D800 to U+DFFF) is ED followed by A0-BF.
// The converter accepts it and would hand out an unpaired surrogate.
bool encodesSurrogate(std::string_view text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const auto next = static_cast<unsigned char>(text[i + 1]);
    if (lead == 0xED && next >= 0xA0 && next <= 0xBF) return true;
  }
  return false;
}

// The converters are deprecated but still the standard's only UTF-8/UTF-16
// bridge; the warning is silenced for this one use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
template <typename Char>
using Utf16Converter = std::wstring_convert<std::codecvt_utf8_utf16<Char>, Char>;

// Runs one conversion and turns every rejection into "bad conversion". The
// converter silently drops an incomplete sequence at the very end of the input
// (a trailing high surrogate, a cut-off UTF-8 sequence), so a conversion that
// stops short is rejected too.
template <typename Char, typename Convert>
auto convertStrictly(std::size_t inputSize, Convert convert) {
  Utf16Converter<Char> converter;
  try {
    auto result = convert(converter);
    if (converter.converted() == inputSize) return result;
  } catch (const std::range_error&) {
  }
  throw std::range_error(std::string(kBadConversion));
}

template <typename Char>
std::string toUtf8(std::basic_string_view<Char> text) {
  return convertStrictly<Char>(text.size(), [text](Utf16Converter<Char>& converter) {
    return converter.to_bytes(text.data(), text.data() + text.size());
  });
}

// UTF-8 to UTF-16 code units in wchar_t. Encoded surrogates get through the
// converter and are rejected here.
std::wstring fromUtf8(std::string_view text) {
  if (encodesSurrogate(text)) throw std::range_error(std::string(kBadConversion));
  return convertStrictly<wchar_t>(text.size(), [text](Utf16Converter<wchar_t>& converter) {
    return converter.from_bytes(text.data(), text.data() + text.size());
  });
}
#pragma GCC diagnostic pop

}  // namespace

bool endsWith(std::string_view text, std::string_view suffix) {
  return suffix.size() <= text.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::size_t caseInsensitiveHash(std::string_view text) {
  constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325;
  constexpr std::uint64_t kFnvPrime = 0x100000001b3;
  // The golden-ratio constant of the usual hash_combine mixing step.
  constexpr std::uint64_t kMixConstant = 0x9e3779b9;
  std::uint64_t h = 0;
  for (char b : text) {
    const std::uint64_t c = static_cast<unsigned char>(lower(b));
    const std::uint64_t f = (c ^ kFnvOffsetBasis) * kFnvPrime;
    h ^= (h >> 2) + (h << 6) + f + kMixConstant;
  }
  return static_cast<std::size_t>(h);
}

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool lessIgnoreCase(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const auto x = static_cast<signed char>(lower(a[i]));
    const auto y = static_cast<signed char>(lower(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

std::string replaceFirst(std::string_view text, std::string_view from, std::string_view to) {
  std::string result(text);
  if (from.size() > text.size()) return result;
  const std::size_t position = from.empty() ? 0 : result.find(from);
  if (position == std::string::npos) return result;
  result.replace(position, from.size(), to);
  return result;
}

std::string toLower(std::string_view text) {
  std::string result(text);
  toLowerInPlace(result);
  return result;
}

void toLowerInPlace(std::string& text) {
  for (char& c : text) c = lower(c);
}

std::string toUpper(std::string_view text) {
  std::string result(text);
  toUpperInPlace(result);
  return result;
}

void toUpperInPlace(std::string& text) {
  for (char& c : text) c = upper(c);
}

std::wstring toWideString(const std::string& text) {
  // One local state for both passes keeps this independent of other threads.
  std::mbstate_t state{};
  const char* source = text.c_str();
  const std::size_t count = std::mbsrtowcs(nullptr, &source, 0, &state);
  if (count == static_cast<std::size_t>(-1)) throw std::range_error(std::string(kBadConversion));
  std::wstring result(count + 1, L' ');
  source = text.c_str();
  std::mbsrtowcs(result.data(), &source, count + 1, &state);
  result.resize(count);
  return result;
}

std::string trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kTrimSet);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kTrimSet);
  return std::string(text.substr(first, last - first + 1));
}

std::string utf16ToUtf8(std::u16string_view text) { return toUtf8(text); }

std::string wideToUtf8(std::wstring_view text) { return toUtf8(text); }

std::wstring utf8ToWide(std::string_view text) { return fromUtf8(text); }

}  // namespace qz7lib::utils
