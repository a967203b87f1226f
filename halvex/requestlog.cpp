#include "halvex/requestlog.h"

#include <algorithm>

namespace halvex {

namespace {
constexpr auto npos = std::string_view::npos;
}

std::string withoutpassword(std::string_view target) {
    // An absolute address, or an authority alone (a CONNECT's "user:password@host:443"); a path
    // has none.
    const std::size_t scheme = target.find("://");
    if (scheme == npos && (target.empty() || target.front() == '/' || target.front() == '*'))
        return std::string(target);
    const std::size_t from = scheme == npos ? 0 : scheme + 3;
    // The authority runs to the path, the query or the fragment; a password stands between its
    // first colon and its last @.
    std::size_t at = npos, colon = npos;
    for (std::size_t i = from; i < target.size(); ++i) {
        const char c = target[i];
        if (c == '/' || c == '?' || c == '#') break;
        if (c == '@')
            at = i;
        else if (c == ':' && colon == npos)
            colon = i;
    }
    if (at == npos || colon == npos || colon > at) return std::string(target);
    return std::string(target.substr(0, colon + 1)) + "*" + std::string(target.substr(at));
}

namespace {
// A target as it may be shown and logged: a blank, a control byte or DEL (which a refused
// request may carry) written as %XX, so that no shown line is cut or bent by it.
std::string shownTarget(std::string target) {
    // Nearly every target is clean already: it is kept as it is.
    if (std::none_of(target.begin(), target.end(), [](char ch) {
            const auto c = static_cast<unsigned char>(ch);
            return c <= ' ' || c == 0x7f;
        }))
        return target;
    std::string out;
    for (const char ch : target) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= ' ' || c == 0x7f) {
            static const char kHex[] = "0123456789ABCDEF";
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        } else {
            out.push_back(ch);
        }
    }
    return out;
}
}  // namespace

RequestRecord &RequestLog::begin(std::string_view method, std::string_view target) {
    RequestRecord &r = records_.emplace_back();
    r.method.assign(method);
    r.target = shownTarget(withoutpassword(target));
    r.begun = clock_ ? clock_() : 0;
    return r;
}

void RequestLog::clientBytes(std::uint64_t n) {
    if (!records_.empty()) records_.back().fromClient += n;
}

void RequestLog::serverBytes(std::uint64_t n) {
    if (!records_.empty() && records_.front().sent) records_.front().fromServer += n;
}

void RequestLog::tell(const RequestRecord &r) const {
    if (tell_) tell_(r);
}

void RequestLog::tellFront() {
    if (records_.empty() || !records_.front().sent) return;
    tell(records_.front());
    records_.pop_front();
}

void RequestLog::tellBack() {
    if (records_.empty()) return;
    tell(records_.back());
    records_.pop_back();
}

void RequestLog::tellRest() {
    for (const RequestRecord &r : records_) tell(r);
    records_.clear();
}

void RequestLog::tellAll(const char *outcome, int status, std::string_view reason) {
    for (RequestRecord &r : records_) {
        if (r.status == 0) {
            r.outcome = outcome;
            r.status = status;
            r.reason.assign(reason);
        }
        tell(r);
    }
    records_.clear();
}

}  // namespace halvex
