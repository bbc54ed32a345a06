#include "engines/rar/RARPercentMeter.h"

#include <algorithm>

namespace vexa {

namespace {

bool isDigit(char byte) {
    return byte >= '0' && byte <= '9';
}

} // namespace

void RARPercentMeter::scan(std::string_view bytes) {
    std::lock_guard guard(lock_);
    std::string buffer = tail_;
    buffer.append(bytes);
    for (std::size_t i = 1; i < buffer.size(); ++i) {
        if (buffer[i] != '%' || !isDigit(buffer[i - 1]))
            continue;
        std::int64_t value = buffer[i - 1] - '0';
        if (i >= 2 && isDigit(buffer[i - 2])) {
            value += 10 * (buffer[i - 2] - '0');
            if (i >= 3 && isDigit(buffer[i - 3]))
                value += 100 * (buffer[i - 3] - '0');
        }
        highest_ = std::max(highest_, std::min<std::int64_t>(value, 100));
    }
    tail_ = buffer.size() >= 4 ? buffer.substr(buffer.size() - 3) : std::move(buffer);
}

std::int64_t RARPercentMeter::highest() const {
    std::lock_guard guard(lock_);
    return highest_;
}

} // namespace vexa
