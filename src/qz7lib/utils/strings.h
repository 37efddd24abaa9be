#pragma once

// Byte-string helpers. Case folding is ASCII-only and ignores the locale:
// only 'A'-'Z' and 'a'-'z' change case; every other byte, UTF-8 sequences
// included, stays as it is.

#include <cstddef>
#include <string>
#include <string_view>

namespace qz7lib::utils {

// True when text ends with suffix, byte for byte; an empty suffix always matches.
bool endsWith(std::string_view text, std::string_view suffix);

// Same length and equal after ASCII lowering at every position.
bool equalsIgnoreCase(std::string_view a, std::string_view b);

// Hash that agrees with equalsIgnoreCase: each lowered byte is FNV-1a hashed
// and mixed into the running value. The empty text hashes to 0.
std::size_t caseInsensitiveHash(std::string_view text);

// True when every byte is below 0x80.
bool isAscii(std::string_view text);

// Strict lexicographic order of the ASCII-lowered bytes read as signed chars,
// so '_' sorts before letters and bytes from 0x80 sort before all ASCII.
bool lessIgnoreCase(std::string_view a, std::string_view b);

// A copy of text with the first occurrence of from replaced by to. An empty
// from inserts to at the front; a missing from leaves the copy unchanged.
std::string replaceFirst(std::string_view text, std::string_view from, std::string_view to);

std::string toLower(std::string_view text);
void toLowerInPlace(std::string& text);
std::string toUpper(std::string_view text);
void toUpperInPlace(std::string& text);

// Converts with mbsrtowcs under the process's current LC_CTYPE locale, up to the
// first NUL byte. Throws std::range_error "bad conversion" when the locale
// cannot convert the text.
std::wstring toWideString(const std::string& text);

// A copy without leading and trailing " \t\r\n".
std::string trim(std::string_view text);

// UTF-16 <-> UTF-8. The wchar_t forms hold UTF-16 code units (a character above
// U+FFFF is a surrogate pair). No byte-order mark is written or skipped.
// Ill-formed input (unpaired surrogates, invalid, over-long, truncated or
// surrogate-encoding UTF-8, code points above U+10FFFF) throws
// std::range_error "bad conversion".
std::string utf16ToUtf8(std::u16string_view text);
std::string wideToUtf8(std::wstring_view text);
std::wstring utf8ToWide(std::string_view text);

}  // namespace qz7lib::utils
