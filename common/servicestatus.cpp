#include "common/servicestatus.h"

namespace common {

void RecentCount::add(std::int64_t now) {
    const std::size_t at = std::size_t(((now % kSeconds) + kSeconds) % kSeconds);
    if (stamps_[at] != now) {
        stamps_[at] = now;
        counts_[at] = 0;
    }
    ++counts_[at];
}

int RecentCount::lastMinute(std::int64_t now) const {
    int total = 0;
    for (std::size_t i = 0; i < kSeconds; ++i)
        if (stamps_[i] > now - kSeconds && stamps_[i] <= now) total += counts_[i];
    return total;
}

std::string groupedNumber(std::uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(' ');
        out.push_back(digits[i]);
    }
    return out;
}

std::string serviceStatusText(const ServiceFigures &f) {
    return std::to_string(f.open) + " open, " + groupedNumber(f.handled) + " " +
           std::string(f.handledNoun) + ", " + std::to_string(f.refusedLastMinute) +
           " refused in the last minute";
}

}  // namespace common
