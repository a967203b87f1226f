#include "halvex/https.h"

#include <algorithm>

#include "common/asciitext.h"
#include "common/hostport.h"
#include "common/netaddress.h"
#include "halvex/filters.h"

namespace halvex {

bool LearnedHosts::learn(const std::string &host, common::Millis now) {
    const auto it = until_.find(host);
    if (it != until_.end() && it->second > now) return false;
    if (it == until_.end() && until_.size() >= kMost) {
        auto first = std::min_element(until_.begin(), until_.end(),
                                      [](const auto &a, const auto &b) { return a.second < b.second; });
        until_.erase(first);
    }
    until_[host] = now + kFor;
    return true;
}

bool LearnedHosts::has(const std::string &host, common::Millis now) const {
    const auto it = until_.find(host);
    return it != until_.end() && it->second > now;
}

std::vector<std::pair<std::string, common::Millis>> LearnedHosts::list(common::Millis now) {
    std::vector<std::pair<std::string, common::Millis>> out;
    for (auto it = until_.begin(); it != until_.end();) {
        if (it->second <= now) {
            it = until_.erase(it);
            continue;
        }
        out.emplace_back(it->first, it->second);
        ++it;
    }
    std::sort(out.begin(), out.end(), [](const auto &a, const auto &b) {
        return a.second != b.second ? a.second < b.second : a.first < b.first;
    });
    return out;
}

const char *choiceText(HttpsChoice c) {
    switch (c) {
        case HttpsChoice::inspect:
            return "inspected";
        case HttpsChoice::off:
            return "not inspected";
        case HttpsChoice::otherPort:
            return "not inspected: not an HTTPS port";
        case HttpsChoice::excepted:
            return "not inspected: excepted";
        case HttpsChoice::learned:
            return "not inspected: its client refused halvex's certificate lately";
    }
    return "";
}

HttpsChoice httpsChoice(std::string_view host, int port, const HttpsSettings &settings,
                        const LearnedHosts &learned, common::Millis now) {
    if (!settings.on) return HttpsChoice::off;
    if (std::find(settings.ports.begin(), settings.ports.end(), port) == settings.ports.end())
        return HttpsChoice::otherPort;
    if (hostblocked(host, port, settings.except)) return HttpsChoice::excepted;
    if (learned.has(common::normalHost(host), now)) return HttpsChoice::learned;
    return HttpsChoice::inspect;
}

bool parsePorts(std::string_view text, std::vector<int> &ports, std::string &why) {
    std::vector<int> out;
    while (!text.empty()) {
        const std::size_t start = text.find_first_not_of(", \t");
        if (start == std::string_view::npos) break;
        text.remove_prefix(start);
        const std::size_t end = std::min(text.find_first_of(", \t"), text.size());
        const std::string_view word = text.substr(0, end);
        text.remove_prefix(end);
        const std::optional<int> p = common::parsePort(word, 1);
        if (!p) {
            why = "not a port number: " + std::string(word);
            return false;
        }
        if (std::find(out.begin(), out.end(), *p) == out.end()) out.push_back(*p);
    }
    if (out.empty()) out.push_back(443);
    ports = std::move(out);
    return true;
}

bool HttpsInspector::clientRefused(const std::string &host, const std::string &why,
                                   common::Millis now) {
    const bool learning = settings.learn;
    const bool first = learning ? learned.learn(host, now) : reported.learn(host, now);
    if (first && refused) refused(host, why, learning);
    return learning;
}

}  // namespace halvex
