// What a service shows its manager (systemd's STATUS=, in `systemctl status`): the connections
// open, what it has handled, and what it refused in the last minute:
//   12 open, 3 402 requests, 2 refused in the last minute
// Pure code.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace common {

// Events of the last minute, counted per second: adding and reading cost the same whatever the
// rate.
class RecentCount {
public:
    void add(std::int64_t nowSeconds);
    int lastMinute(std::int64_t nowSeconds) const;

private:
    static constexpr int kSeconds = 60;
    std::array<int, kSeconds> counts_{};
    std::array<std::int64_t, kSeconds> stamps_{};  // the second each count belongs to
};

struct ServiceFigures {
    int open = 0;
    std::uint64_t handled = 0;
    std::string_view handledNoun = "requests";  // "requests", "logins"
    int refusedLastMinute = 0;
};

// "3 402": thousands grouped by a blank, as the figures are read at a glance.
std::string groupedNumber(std::uint64_t n);
std::string serviceStatusText(const ServiceFigures &f);

}  // namespace common
