// What a relay has done and is doing, as its four faces show it: the window's connections table
// and throughput plot, the status page, the Prometheus metrics and the service manager's status
// line. The relay keeps the counts as it goes (a few additions per chunk); everything else is
// made only when someone looks. Pure code.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace common {

// Bytes each way per second, for the last ten minutes.
class Throughput {
public:
    static constexpr int kSeconds = 600;
    struct Second {
        std::int64_t fromClient = 0;
        std::int64_t fromServer = 0;
    };
    // The relay's totals so far, at second `now`: what they grew by since the last sample (since
    // nothing, at the first) belongs to `now`; seconds without a sample carried nothing. A clock that goes back is taken as now.
    void sample(std::int64_t now, std::int64_t fromClient, std::int64_t fromServer);
    // The kSeconds seconds up to `now`, oldest first.
    std::vector<Second> history(std::int64_t now) const;

private:
    std::array<Second, kSeconds> seconds_{};
    std::array<std::int64_t, kSeconds> stamps_{};
    std::int64_t last_ = -1;  // the second of the last sample
    Second total_;            // the totals it saw
};

// Counts by a name (an outcome, a reason): a handful of names, in the order they first came.
class Tally {
public:
    void add(std::string_view name, std::uint64_t n = 1);
    std::uint64_t of(std::string_view name) const;
    std::uint64_t total() const;
    const std::vector<std::pair<std::string, std::uint64_t>> &items() const { return items_; }

private:
    std::vector<std::pair<std::string, std::uint64_t>> items_;
};

// One open connection.
struct ConnectionRow {
    int slot = 0;
    std::string client;
    std::string target;  // the host asked for, or the login; empty while not known
    std::string state;   // "opening", "connecting", "greeting", "relaying", "tunnel", "closing"
    std::int64_t fromClient = 0;
    std::int64_t fromServer = 0;
    std::int64_t ageMs = 0;
    std::string tls;  // which sides are encrypted: "", "client", "server", "both"
};

// The relay's counts since it started.
struct RelayCounts {
    std::uint64_t accepted = 0;  // clients that took a slot
    int peak = 0;                // the most slots taken at once
    Tally handled;               // requests or logins, by outcome
    Tally refused;               // clients and servers refused before they were relayed, by reason
    std::uint64_t clientHandshakes = 0;  // TLS handshakes done, each side
    std::uint64_t serverHandshakes = 0;
    std::int64_t fromClient = 0;  // bytes relayed each way, of connections ended and open
    std::int64_t fromServer = 0;
};

// Everything the faces show, at one moment.
struct RelaySnapshot {
    std::string program;                 // "halvex"
    std::string handledNoun = "requests";  // what `handled` counts: "requests", "logins"
    std::int64_t uptimeSeconds = 0;
    bool listening = false;
    std::vector<ConnectionRow> connections;
    RelayCounts counts;
    std::vector<Throughput::Second> throughput;  // oldest first, one a second
};

// The counts in a line, as the page and the window show them: "3 open (peak 9), 120 accepted.
// requests: passed 117, blocked 2. Refused: none. TLS handshakes: ... Bytes: ...".
std::string totalsText(const RelaySnapshot &s);
// Prometheus' text format: counters end in _total, gauges are as they stand; names are the
// program's own (halvex_connections_open, halvex_requests_total{outcome="passed"}, ...).
std::string metricsText(const RelaySnapshot &s);
// The same as JSON, with the connections and the throughput, for the status page's updates.
std::string statsJson(const RelaySnapshot &s);
// The status page: the figures and the table as they stand, and a plot that updates itself
// from `jsonPath` once a second.
std::string statusPage(const RelaySnapshot &s, std::string_view jsonPath);

// An HTTP answer to a request head for the status pages: "/" the page, "/metrics", "/stats.json";
// anything else 404, methods other than GET and HEAD 405, a head that is no request 400. The
// connection closes after it.
std::string statusAnswer(std::string_view head, const RelaySnapshot &s);
// Whether `bytes` hold a whole request head (or more than a head may be: answer it as bad).
bool statusHeadComplete(std::string_view bytes);

}  // namespace common
