#include <locale.h>
#include <wctype.h>

#include "platform/name_case.h"

namespace {

// The code point of the UTF-8 sequence at str[i], moving i past it; -1 (and
// one byte on) for a byte that starts no valid sequence.
long Decode(const std::string& str, size_t& i) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(str[k]); };
  const unsigned char b = at(i);
  const int nMore = b < 0x80             ? 0
                    : (b & 0xE0) == 0xC0 ? 1
                    : (b & 0xF0) == 0xE0 ? 2
                    : (b & 0xF8) == 0xF0 ? 3
                                         : -1;
  if (nMore < 0 || i + static_cast<size_t>(nMore) >= str.size()) {
    ++i;
    return -1;
  }
  long c = nMore == 0 ? b : b & (0x3F >> nMore);
  for (int k = 1; k <= nMore; ++k) {
    if ((at(i + k) & 0xC0) != 0x80) {
      ++i;
      return -1;
    }
    c = c << 6 | (at(i + k) & 0x3F);
  }
  static constexpr long kLeast[] = {0, 0x80, 0x800, 0x10000};
  if (c < kLeast[nMore] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return -1;
  }
  i += static_cast<size_t>(nMore) + 1;
  return c;
}

void Encode(long c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string FoldNameCase(const std::string& strName) {
  // The C library's Unicode case tables, whatever locale the user has set.
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::string out;
  out.reserve(strName.size());
  for (size_t i = 0; i < strName.size();) {
    const size_t nStart = i;
    const long c = Decode(strName, i);
    if (c < 0) {
      out += strName[nStart];
    } else if (c >= 'a' && c <= 'z') {
      out += static_cast<char>(c - 'a' + 'A');
    } else if (c < 0x80 || utf8 == static_cast<locale_t>(nullptr)) {
      out.append(strName, nStart, i - nStart);
    } else {
      // Only a letter whose upper case leads back to it: Windows keeps apart
      // those that fold many to one (dotless i and I, micro sign and mu).
      const auto nUpper = static_cast<long>(towupper_l(static_cast<wint_t>(c), utf8));
      const bool bPair =
          nUpper >= 0x80 && static_cast<long>(towlower_l(static_cast<wint_t>(nUpper), utf8)) == c;
      Encode(bPair ? nUpper : c, out);
    }
  }
  return out;
}
