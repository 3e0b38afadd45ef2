// text/ owns codepages and conversions between them: iconv on POSIX
// systems, MultiByteToWideChar and WideCharToMultiByte on Windows. A
// Windows 9x registry holds its text in the machine's ANSI codepage; a .reg
// file of version 5 and the user's terminal use others. It uses nothing of
// ours.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace text {

// The codepage Windows 9x used where the registry does not say: Western
// European, the ACP of the shared Windows Me hive.
inline constexpr int kDefaultCodepage = 1252;

// The charset name of a Windows codepage, as iconv knows it ("CP1252").
std::string CodepageCharset(int codepage);

// The OEM (DOS) codepage Windows pairs with an ANSI codepage, in which DOS
// wrote the short names of a FAT volume: 866 for 1251, 850 for 1252, 932
// for 932; 0 for a codepage it pairs with none.
int OemCodepageOf(int ansiCodepage);

// Converts text from one charset to another, each named as iconv names it
// ("CP1252", "UTF-8", "UTF-16LE"). A character the target cannot hold is
// written as the conversion's transliteration where asked for, else as '?';
// bytes that are not text in the source charset become '?' as well: nothing
// is dropped without a trace.
class TextConverter {
 public:
  virtual ~TextConverter() = default;
  // Null when the system knows one of the charsets not.
  static std::unique_ptr<TextConverter> Open(const std::string& from, const std::string& to,
                                             bool transliterate = false);
  virtual std::string Convert(std::string_view text) = 0;
  // The same, but false (out unspecified) where any character cannot be
  // converted, rather than a '?' in its place: for text whose '?' would
  // mean something else, such as a pattern's wildcard.
  virtual bool ConvertExactly(std::string_view text, std::string* out) = 0;
};

}  // namespace text
