#pragma once

#include <optional>
#include <string>
#include <vector>

// Passwords in memory: overwritten when no longer needed, and kept out of core files and
// other processes' reach while held.
namespace vexa::secrets {

// Overwrites the text's whole buffer (its capacity, not only its length) and empties it.
void wipe(std::string& text) noexcept;
// The same, and the optional becomes empty.
void wipe(std::optional<std::string>& text) noexcept;
void wipe(std::vector<std::string>& texts) noexcept;

// Wipes the text (or texts) it was given when the scope ends, however it ends.
template <typename Secret> class WipedOnExit {
  public:
    explicit WipedOnExit(Secret& secret) : secret_(secret) {}
    ~WipedOnExit() { wipe(secret_); }
    WipedOnExit(const WipedOnExit&) = delete;
    WipedOnExit& operator=(const WipedOnExit&) = delete;

  private:
    Secret& secret_;
};

// While at least one of these lives, the process is not dumpable: no core file is written and
// processes of the same user cannot attach to it or read its memory. When the last one goes the
// process is as dumpable as it was before the first one came. Thread-safe.
class NonDumpable {
  public:
    NonDumpable();
    ~NonDumpable();
    NonDumpable(const NonDumpable&) = delete;
    NonDumpable& operator=(const NonDumpable&) = delete;
};

} // namespace vexa::secrets
