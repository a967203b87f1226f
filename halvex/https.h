// Which tunnels halvex looks inside. An office that has its own certificate authority in its
// browsers may have halvex read HTTPS: a CONNECT to an allowed host on the HTTPS port (or another
// port the admin names) is answered with halvex's own certificate for that host, and the requests
// inside go through the same rules as plain HTTP. Hosts the admin excepts (banks, apps that pin
// their certificates) are never read, and neither is a host whose client refused halvex's
// certificate, for a day after it did, when halvex learns them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/relaycore.h"

namespace halvex {

struct HttpsSettings {
    bool on = false;                  // inspecthttps, with an authority loaded
    std::vector<std::string> except;  // hosts and domains never inspected (the block list's form)
    std::vector<int> ports{443};      // inspectports: the ports whose tunnels are inspected
    bool learn = true;                // inspectlearn
};

// Hosts whose clients refused halvex's certificate, passed uninspected until their time is up.
class LearnedHosts {
public:
    static constexpr common::Millis kFor = 24LL * 3600 * 1000;
    static constexpr std::size_t kMost = 4096;

    // The host is learned from now on for kFor; false when it was learned already. At most kMost
    // hosts are kept: the one that ends first makes room.
    bool learn(const std::string &host, common::Millis now);
    bool has(const std::string &host, common::Millis now) const;
    // The hosts learned and until when, the earliest end first; those past their time are gone.
    std::vector<std::pair<std::string, common::Millis>> list(common::Millis now);
    void clear() { until_.clear(); }

private:
    std::unordered_map<std::string, common::Millis> until_;
};

enum class HttpsChoice : std::uint8_t {
    inspect,    // read inside
    off,        // inspection is not on (or no authority)
    otherPort,  // not a port whose tunnels are inspected
    excepted,   // the admin excepted the host
    learned,    // its clients refused halvex's certificate lately
};
const char *choiceText(HttpsChoice c);

// Whether a CONNECT to host:port (the host in its one form) is inspected.
HttpsChoice httpsChoice(std::string_view host, int port, const HttpsSettings &settings,
                        const LearnedHosts &learned, common::Millis now);

// The ports of an inspectports value: numbers from 1 to 65535, separated by commas or blanks;
// empty: 443 alone. A failure says which word is wrong.
bool parsePorts(std::string_view text, std::vector<int> &ports, std::string &why);

// What the slots share: the settings, the hosts learned, and the authority's certificates,
// which the window provides (mint: a leaf for a name, bounded by the server's certificate's end;
// null when none can be had), and what the window is told of a refusal.
struct HttpsInspector {
    HttpsSettings settings;
    LearnedHosts learned;
    LearnedHosts reported;  // refusals told while nothing is learned: once a day for each host
    std::function<std::shared_ptr<common::TlsServerContext>(const std::string &name,
                                                            std::int64_t serverEnd)>
        mint;
    // A client refused the certificate for host (why); learned: it now passes uninspected.
    // Told once a day for each host.
    std::function<void(const std::string &host, const std::string &why, bool learned)> refused;

    HttpsChoice choose(std::string_view host, int port, common::Millis now) const {
        if (!mint) return HttpsChoice::off;
        return httpsChoice(host, port, settings, learned, now);
    }
    // The client refused halvex's certificate for host: learned when learning is on.
    bool clientRefused(const std::string &host, const std::string &why, common::Millis now);
};

}  // namespace halvex
