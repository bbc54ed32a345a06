#pragma once

#include <locale.h>

namespace vexa {

// libarchive converts 7z's UTF-16 names from and to the thread's locale charset; in the C locale
// every non-ASCII name would be lost. Switches the calling thread to C.UTF-8 for the object's
// lifetime. Scopes must end in the reverse order of their start.
class SevenZipUTF8Locale {
  public:
    SevenZipUTF8Locale() : utf8_(::newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0))) {
        if (utf8_ != static_cast<locale_t>(0))
            previous_ = ::uselocale(utf8_);
    }
    ~SevenZipUTF8Locale() {
        if (utf8_ != static_cast<locale_t>(0)) {
            ::uselocale(previous_);
            ::freelocale(utf8_);
        }
    }
    SevenZipUTF8Locale(const SevenZipUTF8Locale&) = delete;
    SevenZipUTF8Locale& operator=(const SevenZipUTF8Locale&) = delete;

  private:
    locale_t utf8_;
    locale_t previous_ = static_cast<locale_t>(0);
};

} // namespace vexa
