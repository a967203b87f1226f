#include "common/relaystats.h"

#include <algorithm>
#include <cstdio>

#include "common/asciitext.h"

namespace common {

void Throughput::sample(std::int64_t now, std::int64_t fromClient, std::int64_t fromServer) {
    if (last_ >= 0 && now < last_) now = last_;
    const std::size_t at = std::size_t(now % kSeconds);
    if (stamps_[at] != now || last_ < 0) {
        stamps_[at] = now;
        seconds_[at] = {};
    }
    seconds_[at].fromClient += std::max<std::int64_t>(0, fromClient - total_.fromClient);
    seconds_[at].fromServer += std::max<std::int64_t>(0, fromServer - total_.fromServer);
    last_ = now;
    total_ = {fromClient, fromServer};
}

std::vector<Throughput::Second> Throughput::history(std::int64_t now) const {
    std::vector<Second> out(kSeconds);
    for (int k = 0; k < kSeconds; ++k) {
        const std::int64_t second = now - (kSeconds - 1) + k;
        if (second < 0) continue;
        const std::size_t at = std::size_t(second % kSeconds);
        if (stamps_[at] == second) out[std::size_t(k)] = seconds_[at];
    }
    return out;
}

void Tally::add(std::string_view name, std::uint64_t n) {
    for (auto &item : items_)
        if (item.first == name) {
            item.second += n;
            return;
        }
    items_.emplace_back(std::string(name), n);
}

std::uint64_t Tally::of(std::string_view name) const {
    for (const auto &item : items_)
        if (item.first == name) return item.second;
    return 0;
}

std::uint64_t Tally::total() const {
    std::uint64_t t = 0;
    for (const auto &item : items_) t += item.second;
    return t;
}

namespace {

// ---- text forms ------------------------------------------------------------------------------

std::string labelValue(std::string_view v) {
    std::string out;
    for (char c : v) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out.push_back(c);
    }
    return out;
}

std::string jsonString(std::string_view v) {
    std::string out = "\"";
    for (unsigned char c : v) {
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (c < 0x20 || c == 0x7f || c >= 0x80) {
            // Bytes beyond ASCII come from what clients wrote: shown as they are, never as text
            // that could break the page.
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else out.push_back(char(c));
    }
    return out + "\"";
}

std::string htmlText(std::string_view v) {
    std::string out;
    for (unsigned char c : v) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "%%%02X", c);
                    out += buf;
                } else out.push_back(char(c));
        }
    }
    return out;
}

struct Metrics {
    std::string text;
    const std::string &prefix;

    void head(std::string_view name, std::string_view type, std::string_view help) {
        text += "# HELP " + prefix + std::string(name) + " " + std::string(help) + "\n";
        text += "# TYPE " + prefix + std::string(name) + " " + std::string(type) + "\n";
    }
    void value(std::string_view name, std::int64_t v, std::string_view label = {},
               std::string_view labelText = {}) {
        text += prefix + std::string(name);
        if (!label.empty())
            text += "{" + std::string(label) + "=\"" + labelValue(labelText) + "\"}";
        text += " " + std::to_string(v) + "\n";
    }
    void one(std::string_view name, std::string_view type, std::string_view help, std::int64_t v) {
        head(name, type, help);
        value(name, v);
    }
    void tally(std::string_view name, std::string_view help, std::string_view label, const Tally &t) {
        head(name, "counter", help);
        for (const auto &[k, n] : t.items()) value(name, std::int64_t(n), label, k);
    }
};

std::string perSecond(const std::vector<Throughput::Second> &h, bool fromClient) {
    std::string out = "[";
    for (std::size_t i = 0; i < h.size(); ++i) {
        if (i) out += ",";
        out += std::to_string(fromClient ? h[i].fromClient : h[i].fromServer);
    }
    return out + "]";
}

std::string tallyJson(const Tally &t) {
    std::string out = "{";
    for (const auto &[k, n] : t.items()) {
        if (out.size() > 1) out += ",";
        out += jsonString(k) + ":" + std::to_string(n);
    }
    return out + "}";
}

// The plot as it stands, drawn as the page's script draws it again each second.
std::string plotSvg(const std::vector<Throughput::Second> &h) {
    std::int64_t top = 1;
    for (const Throughput::Second &s : h) top = std::max({top, s.fromClient, s.fromServer});
    auto line = [&](bool fromClient) {
        std::string points;
        for (std::size_t i = 0; i < h.size(); ++i) {
            const std::int64_t v = fromClient ? h[i].fromClient : h[i].fromServer;
            const double y = 150.0 - 145.0 * double(v) / double(top);
            char buf[40];
            std::snprintf(buf, sizeof buf, "%zu,%.1f ", i, y);
            points += buf;
        }
        return points;
    };
    return "<svg id=\"plot\" viewBox=\"0 0 600 150\" preserveAspectRatio=\"none\">"
           "<rect width=\"600\" height=\"150\" fill=\"#f8f8f8\" stroke=\"#ccc\"/>"
           "<polyline id=\"down\" fill=\"none\" stroke=\"#1565c0\" stroke-width=\"1.5\" points=\"" +
           line(false) +
           "\"/><polyline id=\"up\" fill=\"none\" stroke=\"#e65100\" stroke-width=\"1.5\" points=\"" +
           line(true) + "\"/></svg>";
}

std::string rowsHtml(const std::vector<ConnectionRow> &rows) {
    std::string out;
    for (const ConnectionRow &r : rows)
        out += "<tr><td>" + std::to_string(r.slot) + "</td><td>" + htmlText(r.client) + "</td><td>" +
               htmlText(r.target) + "</td><td>" + htmlText(r.state) + "</td><td>" +
               std::to_string(r.fromClient) + "</td><td>" + std::to_string(r.fromServer) +
               "</td><td>" + std::to_string(r.ageMs / 1000) + "</td><td>" + htmlText(r.tls) +
               "</td></tr>";
    return out;
}

}  // namespace

std::string metricsText(const RelaySnapshot &s) {
    const std::string prefix = s.program + "_";
    Metrics m{{}, prefix};
    const RelayCounts &c = s.counts;
    m.one("uptime_seconds", "gauge", "Seconds since the program started.", s.uptimeSeconds);
    m.one("listening", "gauge", "1 while the listener is open.", s.listening ? 1 : 0);
    m.one("connections_open", "gauge", "Connections open now.", std::int64_t(s.connections.size()));
    m.one("connections_peak", "gauge", "The most connections open at once.", c.peak);
    m.one("connections_total", "counter", "Clients accepted.", std::int64_t(c.accepted));
    m.tally(s.handledNoun + "_total", "Handled, by outcome.", "outcome", c.handled);
    m.tally("refused_total", "Clients and servers refused before they were relayed, by reason.",
            "reason", c.refused);
    m.head("tls_handshakes_total", "counter", "TLS handshakes done, by side.");
    m.value("tls_handshakes_total", std::int64_t(c.clientHandshakes), "side", "client");
    m.value("tls_handshakes_total", std::int64_t(c.serverHandshakes), "side", "server");
    m.head("relayed_bytes_total", "counter", "Bytes relayed, by direction.");
    m.value("relayed_bytes_total", c.fromClient, "direction", "from_client");
    m.value("relayed_bytes_total", c.fromServer, "direction", "from_server");
    return m.text;
}

std::string statsJson(const RelaySnapshot &s) {
    const RelayCounts &c = s.counts;
    std::string out = "{\"program\":" + jsonString(s.program) +
                      ",\"handledNoun\":" + jsonString(s.handledNoun) +
                      ",\"uptime\":" + std::to_string(s.uptimeSeconds) +
                      ",\"listening\":" + (s.listening ? "true" : "false") +
                      ",\"totals\":" + jsonString(totalsText(s)) +
                      ",\"open\":" + std::to_string(s.connections.size()) +
                      ",\"peak\":" + std::to_string(c.peak) +
                      ",\"accepted\":" + std::to_string(c.accepted) +
                      ",\"handled\":" + tallyJson(c.handled) + ",\"refused\":" + tallyJson(c.refused) +
                      ",\"handshakes\":{\"client\":" + std::to_string(c.clientHandshakes) +
                      ",\"server\":" + std::to_string(c.serverHandshakes) + "}" +
                      ",\"bytes\":{\"fromClient\":" + std::to_string(c.fromClient) +
                      ",\"fromServer\":" + std::to_string(c.fromServer) + "},\"connections\":[";
    for (std::size_t i = 0; i < s.connections.size(); ++i) {
        const ConnectionRow &r = s.connections[i];
        if (i) out += ",";
        out += "{\"slot\":" + std::to_string(r.slot) + ",\"client\":" + jsonString(r.client) +
               ",\"target\":" + jsonString(r.target) + ",\"state\":" + jsonString(r.state) +
               ",\"fromClient\":" + std::to_string(r.fromClient) +
               ",\"fromServer\":" + std::to_string(r.fromServer) +
               ",\"age\":" + std::to_string(r.ageMs / 1000) + ",\"tls\":" + jsonString(r.tls) + "}";
    }
    out += "],\"throughput\":{\"fromClient\":" + perSecond(s.throughput, true) +
           ",\"fromServer\":" + perSecond(s.throughput, false) + "}}";
    return out;
}

namespace {
std::string tallyText(const Tally &t) {
    std::string out;
    for (const auto &[k, n] : t.items()) out += (out.empty() ? "" : ", ") + k + " " + std::to_string(n);
    return out.empty() ? "none" : out;
}
}  // namespace

std::string totalsText(const RelaySnapshot &s) {
    const RelayCounts &c = s.counts;
    return std::to_string(s.connections.size()) + " open (peak " + std::to_string(c.peak) + "), " +
           std::to_string(c.accepted) + " accepted. " + s.handledNoun + ": " + tallyText(c.handled) +
           ". Refused: " + tallyText(c.refused) + ". TLS handshakes: " +
           std::to_string(c.clientHandshakes) + " client, " + std::to_string(c.serverHandshakes) +
           " server. Bytes: " + std::to_string(c.fromClient) + " from clients, " +
           std::to_string(c.fromServer) + " from servers.";
}

std::string statusPage(const RelaySnapshot &s, std::string_view jsonPath) {
    const std::string name = htmlText(s.program);
    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + name +
        " status</title><style>"
        "body{font:14px sans-serif;margin:1em 2em;color:#222}"
        "table{border-collapse:collapse;margin-top:.5em}"
        "td,th{border:1px solid #ccc;padding:2px 8px;text-align:left}"
        "th{background:#eee}#plot{width:100%;max-width:900px;height:150px}"
        ".up{color:#e65100}.down{color:#1565c0}</style></head><body>\n<h1>" + name + " status</h1>\n"
        "<p>" + std::string(s.listening ? "Listening" : "Not listening") + ", up " +
        std::to_string(s.uptimeSeconds) + " s. <span id=\"totals\">" + htmlText(totalsText(s)) +
        "</span></p>\n"
        "<h2>Throughput, last 10 minutes</h2><p><span class=\"down\">&#9632; from servers</span> "
        "<span class=\"up\">&#9632; from clients</span> <span id=\"top\"></span></p>\n" +
        plotSvg(s.throughput) +
        "\n<h2>Connections</h2>\n<table id=\"connections\"><thead><tr><th>Slot</th><th>Client</th>"
        "<th>Target</th><th>State</th><th>From client</th><th>From server</th><th>Age (s)</th>"
        "<th>TLS</th></tr></thead><tbody id=\"rows\">" +
        rowsHtml(s.connections) +
        "</tbody></table>\n<script>\n"
        "const jsonPath=" + jsonString(jsonPath) + ";\n"
        "function cell(t){const d=document.createElement('td');d.textContent=t;return d;}\n"
        "function points(a,top){return a.map((v,i)=>i+','+(150-145*v/top).toFixed(1)).join(' ');}\n"
        "async function update(){try{const r=await fetch(jsonPath,{cache:'no-store'});"
        "const s=await r.json();\n"
        "document.getElementById('totals').textContent=s.totals;\n"
        "const body=document.getElementById('rows');body.replaceChildren();\n"
        "for(const c of s.connections){const tr=document.createElement('tr');"
        "for(const v of [c.slot,c.client,c.target,c.state,c.fromClient,c.fromServer,c.age,c.tls])"
        "tr.appendChild(cell(v));body.appendChild(tr);}\n"
        "const up=s.throughput.fromClient,down=s.throughput.fromServer;"
        "const top=Math.max(1,...up,...down);\n"
        "document.getElementById('up').setAttribute('points',points(up,top));\n"
        "document.getElementById('down').setAttribute('points',points(down,top));\n"
        "document.getElementById('top').textContent='(top: '+top+' bytes a second)';"
        "}catch(e){}}\nsetInterval(update,1000);\n</script>\n</body></html>\n";
    return page;
}

bool statusHeadComplete(std::string_view bytes) {
    return bytes.find("\r\n\r\n") != std::string_view::npos ||
           bytes.find("\n\n") != std::string_view::npos || bytes.size() > 8192;
}

namespace {
std::string answer(std::string_view status, std::string_view type, const std::string &body,
                   bool head) {
    std::string out = "HTTP/1.1 " + std::string(status) + "\r\nContent-Type: " + std::string(type) +
                      "\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    if (!head) out += body;
    return out;
}
}  // namespace

std::string statusAnswer(std::string_view head, const RelaySnapshot &s) {
    const std::size_t end = head.find('\n');
    std::string_view line = head.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t a = line.find(' ');
    const std::size_t b = a == std::string_view::npos ? a : line.find(' ', a + 1);
    if (end == std::string_view::npos || b == std::string_view::npos || head.size() > 8192 ||
        !line.substr(b + 1).starts_with("HTTP/1."))
        return answer("400 Bad Request", "text/plain", "Not a request.\n", false);
    const std::string_view method = line.substr(0, a);
    std::string_view target = line.substr(a + 1, b - a - 1);
    // A proxy's absolute form names the page as well as the origin form does.
    if (const std::size_t scheme = target.find("://"); scheme != std::string_view::npos) {
        const std::size_t path = target.find('/', scheme + 3);
        target = path == std::string_view::npos ? std::string_view("/") : target.substr(path);
    }
    target = target.substr(0, target.find('?'));
    const bool isHead = method == "HEAD";
    if (method != "GET" && !isHead)
        return answer("405 Method Not Allowed", "text/plain", "Only GET and HEAD.\n", false);
    if (target == "/") return answer("200 OK", "text/html; charset=utf-8", statusPage(s, "/stats.json"), isHead);
    if (target == "/metrics")
        return answer("200 OK", "text/plain; version=0.0.4; charset=utf-8", metricsText(s), isHead);
    if (target == "/stats.json") return answer("200 OK", "application/json", statsJson(s), isHead);
    return answer("404 Not Found", "text/plain", "Not here: / /metrics /stats.json\n", isHead);
}

}  // namespace common
