#include "platform/Secrets.h"

#include <mutex>
#include <openssl/crypto.h>
#include <sys/prctl.h>

namespace vexa::secrets {

void wipe(std::string& text) noexcept {
    // Growing to the capacity stays in the same buffer, so every byte ever held is reached.
    text.resize(text.capacity());
    OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

void wipe(std::optional<std::string>& text) noexcept {
    if (text)
        wipe(*text);
    text.reset();
}

void wipe(std::vector<std::string>& texts) noexcept {
    for (std::string& text : texts)
        wipe(text);
    texts.clear();
}

namespace {

std::mutex holdMutex;
int holders = 0;
int dumpableBefore = 1;

} // namespace

NonDumpable::NonDumpable() {
    const std::lock_guard<std::mutex> lock(holdMutex);
    if (holders++ == 0) {
        const int state = ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
        dumpableBefore = state < 0 ? 1 : state;
        ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    }
}

NonDumpable::~NonDumpable() {
    const std::lock_guard<std::mutex> lock(holdMutex);
    if (--holders == 0)
        ::prctl(PR_SET_DUMPABLE, dumpableBefore, 0, 0, 0);
}

} // namespace vexa::secrets
