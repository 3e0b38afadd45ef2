#include "winreg/text.h"

#include <iconv.h>

#include <cerrno>

namespace regstore {

std::string CodepageCharset(int codepage) { return "CP" + std::to_string(codepage); }

namespace {

// How many bytes the character at text starts with, for skipping one that
// cannot be converted: a whole UTF-8 or UTF-16 sequence, else one byte.
std::size_t CharacterBytes(std::string_view text, bool utf8, bool utf16) {
  if (utf16) return text.size() >= 2 ? 2 : text.size();
  if (!utf8) return 1;
  std::size_t n = 1;
  while (n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) ++n;
  return n;
}

class IconvConverter final : public TextConverter {
 public:
  IconvConverter(iconv_t cd, bool utf8, bool utf16, bool utf16Target)
      : cd_(cd), utf8_(utf8), utf16_(utf16), utf16Target_(utf16Target) {}
  ~IconvConverter() override { iconv_close(cd_); }

  std::string Convert(std::string_view text) override {
    std::string out;
    out.resize(text.size() * 4 + 16);
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    std::size_t done = 0;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    while (true) {
      char* to = out.data() + done;
      std::size_t outLeft = out.size() - done;
      std::size_t r = inLeft == 0 ? iconv(cd_, nullptr, nullptr, &to, &outLeft)
                                  : iconv(cd_, &in, &inLeft, &to, &outLeft);
      done = static_cast<std::size_t>(to - out.data());
      if (r != static_cast<std::size_t>(-1)) {
        if (inLeft == 0) break;
        continue;
      }
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      // EILSEQ or EINVAL: a character the target lacks, or bytes that are no
      // character of the source. Either is shown, as '?', and passed over.
      std::size_t skip = CharacterBytes(std::string_view(in, inLeft), utf8_, utf16_);
      if (done + 2 > out.size()) out.resize(out.size() * 2);
      out[done++] = '?';
      if (utf16Target_) out[done++] = '\0';
      in += skip;
      inLeft -= skip;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(done);
    return out;
  }

 private:
  iconv_t cd_;
  bool utf8_;
  bool utf16_;
  bool utf16Target_;
};

bool IsUtf8(const std::string& charset) { return charset == "UTF-8" || charset == "utf-8" || charset == "UTF8"; }
bool IsUtf16(const std::string& charset) { return charset.starts_with("UTF-16"); }

}  // namespace

std::unique_ptr<TextConverter> TextConverter::Open(const std::string& from, const std::string& to,
                                                   bool transliterate) {
  std::string target = transliterate ? to + "//TRANSLIT" : to;
  iconv_t cd = iconv_open(target.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
  return std::make_unique<IconvConverter>(cd, IsUtf8(from), IsUtf16(from), IsUtf16(to));
}

}  // namespace regstore
