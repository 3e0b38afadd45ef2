#include "text/text.h"

#include <cerrno>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace text {

std::string CodepageCharset(int codepage) { return "CP" + std::to_string(codepage); }

int OemCodepageOf(int ansiCodepage) {
  // Windows' own pairs (its locales' OEMCP beside their ACP).
  constexpr int kPairs[][2] = {{874, 874},  {932, 932},  {936, 936},  {949, 949},  {950, 950},
                               {1250, 852}, {1251, 866}, {1252, 850}, {1253, 737}, {1254, 857},
                               {1255, 862}, {1256, 720}, {1257, 775}, {1258, 1258}};
  for (const auto& pair : kPairs) {
    if (pair[0] == ansiCodepage) return pair[1];
  }
  return 0;
}

#ifdef _WIN32

namespace {

// Windows converts through UTF-16 with its own tables, as its A functions
// do: what the target lacks becomes '?'.
constexpr UINT kUtf16 = 1200;

UINT CodepageOf(const std::string& charset) {
  if (charset == "UTF-8") return CP_UTF8;
  if (charset.starts_with("UTF-16")) return kUtf16;
  if (charset.starts_with("CP")) return static_cast<UINT>(std::strtoul(charset.c_str() + 2, nullptr, 10));
  return 0;
}

class WindowsConverter final : public TextConverter {
 public:
  WindowsConverter(UINT from, UINT to) : from_(from), to_(to) {}
  bool ConvertExactly(std::string_view text, std::string* out) override {
    out->clear();
    if (text.empty()) return true;
    std::wstring wide;
    if (from_ == kUtf16) {
      if (text.size() % 2 != 0) return false;
      wide.assign(reinterpret_cast<const wchar_t*>(text.data()), text.size() / 2);
    } else {
      int n = MultiByteToWideChar(from_, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
      if (n == 0) return false;
      wide.resize(static_cast<std::size_t>(n));
      MultiByteToWideChar(from_, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), n);
    }
    if (to_ == kUtf16) {
      out->assign(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
      return true;
    }
    BOOL defaulted = FALSE;
    BOOL* lossy = to_ == CP_UTF8 ? nullptr : &defaulted;
    int n = WideCharToMultiByte(to_, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, lossy);
    out->resize(static_cast<std::size_t>(n));
    WideCharToMultiByte(to_, 0, wide.data(), static_cast<int>(wide.size()), out->data(), n, nullptr, lossy);
    return n > 0 && !defaulted;
  }

  std::string Convert(std::string_view text) override {
    if (text.empty()) return {};
    std::wstring wide;
    if (from_ == kUtf16) {
      wide.assign(reinterpret_cast<const wchar_t*>(text.data()), text.size() / 2);
    } else {
      int n = MultiByteToWideChar(from_, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
      wide.resize(static_cast<std::size_t>(n));
      MultiByteToWideChar(from_, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    }
    if (to_ == kUtf16) return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
    if (wide.empty()) return {};
    const char* fallback = to_ == CP_UTF8 ? nullptr : "?";
    int n = WideCharToMultiByte(to_, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, fallback, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(to_, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, fallback, nullptr);
    return out;
  }

 private:
  UINT from_;
  UINT to_;
};

}  // namespace

std::unique_ptr<TextConverter> TextConverter::Open(const std::string& from, const std::string& to, bool) {
  UINT f = CodepageOf(from);
  UINT t = CodepageOf(to);
  CPINFO info;
  auto known = [&info](UINT cp) { return cp == kUtf16 || cp == CP_UTF8 || (cp != 0 && GetCPInfo(cp, &info)); };
  if (!known(f) || !known(t)) return nullptr;
  return std::make_unique<WindowsConverter>(f, t);
}

#else

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

  bool ConvertExactly(std::string_view text, std::string* out) override {
    out->assign(text.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    std::size_t done = 0;
    bool flushed = false;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    while (true) {
      char* to = out->data() + done;
      std::size_t outLeft = out->size() - done;
      std::size_t r = inLeft == 0 ? iconv(cd_, nullptr, nullptr, &to, &outLeft) : iconv(cd_, &in, &inLeft, &to, &outLeft);
      done = static_cast<std::size_t>(to - out->data());
      if (r == static_cast<std::size_t>(-1) && errno == E2BIG) {
        out->resize(out->size() * 2);
        continue;
      }
      // Without //TRANSLIT iconv counts characters it converted in a way
      // of its own choosing (r > 0): those are not exact either.
      if (r != 0) return false;
      if (inLeft == 0) {
        if (flushed) break;
        flushed = true;  // once more, for what a stateful charset holds back
      }
    }
    out->resize(done);
    return true;
  }

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
      if (inLeft == 0) break;
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

#endif

}  // namespace text
