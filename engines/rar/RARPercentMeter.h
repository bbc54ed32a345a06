#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace vexa {

// Reads the rar program's output for percentages: one to three ASCII digits directly before a
// "%", capped at 100. Keeps the highest value seen, and the last 3 bytes of each block so that
// a percentage split across two reads is still seen. Thread-safe: one thread feeds output,
// another reads the highest value.
class RARPercentMeter {
  public:
    void scan(std::string_view bytes);
    std::int64_t highest() const;

  private:
    mutable std::mutex lock_;
    std::string tail_;
    std::int64_t highest_ = 0;
};

} // namespace vexa
