// The relay's figures as the status page, /metrics and the windows show them.
#include <gtest/gtest.h>

#include "common/relaystats.h"

using namespace common;

namespace {
RelaySnapshot busy() {
    RelaySnapshot s;
    s.program = "halvex";
    s.uptimeSeconds = 42;
    s.listening = true;
    s.counts.accepted = 7;
    s.counts.peak = 3;
    s.counts.handled.add("passed", 5);
    s.counts.handled.add("upstream failed");
    s.counts.refused.add("not allowed", 2);
    s.counts.fromClient = 100;
    s.counts.fromServer = 2000;
    ConnectionRow r;
    r.slot = 1;
    r.client = "127.0.0.1";
    r.target = "http://x/<script>\"a\\b\"\x01";
    r.state = "relaying";
    s.connections.push_back(r);
    s.throughput.assign(Throughput::kSeconds, {});
    s.throughput.back() = {10, 20};
    return s;
}
}  // namespace

TEST(Throughput, EachSecondGetsWhatTheTotalsGrewByAndOldSecondsAreForgotten) {
    Throughput t;
    t.sample(1000, 50, 70);  // what came before the first sample belongs to it
    t.sample(1000, 60, 100);
    t.sample(1003, 61, 200);  // 1001 and 1002 had no sample: nothing
    std::vector<Throughput::Second> h = t.history(1003);
    ASSERT_EQ(h.size(), std::size_t(Throughput::kSeconds));
    EXPECT_EQ(h[Throughput::kSeconds - 4].fromClient, 60);
    EXPECT_EQ(h[Throughput::kSeconds - 4].fromServer, 100);
    EXPECT_EQ(h[Throughput::kSeconds - 3].fromServer, 0);
    EXPECT_EQ(h[Throughput::kSeconds - 1].fromServer, 100);
    // A clock that goes back counts in the last second; ten minutes on, all of it is gone,
    // though the ring's slots are used again.
    t.sample(990, 61, 210);
    EXPECT_EQ(t.history(1003).back().fromServer, 110);
    t.sample(1000 + Throughput::kSeconds, 61, 215);
    h = t.history(1000 + Throughput::kSeconds);
    EXPECT_EQ(h.back().fromServer, 5);
    EXPECT_EQ(h[Throughput::kSeconds - 598].fromServer, 110);  // second 1003
    std::int64_t all = 0;
    for (const auto &s : h) all += s.fromServer;
    EXPECT_EQ(all, 115);
}

TEST(RelayStats, MetricsFollowPrometheusNamingAndEscapeLabels) {
    RelaySnapshot s = busy();
    s.counts.refused.add("odd \"reason\"\\\n");
    const std::string m = metricsText(s);
    EXPECT_NE(m.find("# TYPE halvex_connections_open gauge\nhalvex_connections_open 1\n"), std::string::npos);
    EXPECT_NE(m.find("halvex_connections_total 7\n"), std::string::npos);
    EXPECT_NE(m.find("halvex_requests_total{outcome=\"passed\"} 5\n"), std::string::npos);
    EXPECT_NE(m.find("halvex_requests_total{outcome=\"upstream failed\"} 1\n"), std::string::npos);
    EXPECT_NE(m.find("halvex_refused_total{reason=\"odd \\\"reason\\\"\\\\\\n\"} 1\n"), std::string::npos);
    EXPECT_NE(m.find("halvex_relayed_bytes_total{direction=\"from_server\"} 2000\n"), std::string::npos);
    // Every counter ends in _total and has its HELP and TYPE.
    for (std::size_t at = m.find("# TYPE "); at != std::string::npos; at = m.find("# TYPE ", at + 1)) {
        const std::string line = m.substr(at, m.find('\n', at) - at);
        if (line.ends_with(" counter")) {
            EXPECT_NE(line.find("_total counter"), std::string::npos) << line;
        }
    }
    s.program = "quessel";
    s.handledNoun = "logins";
    EXPECT_NE(metricsText(s).find("quessel_logins_total{outcome=\"passed\"} 5"), std::string::npos);
}

TEST(RelayStats, WhatClientsWroteCannotBreakThePageOrTheJson) {
    const RelaySnapshot s = busy();
    const std::string json = statsJson(s);
    EXPECT_NE(json.find("\"target\":\"http://x/<script>\\\"a\\\\b\\\"\\u0001\""), std::string::npos);
    EXPECT_NE(json.find("\"handled\":{\"passed\":5,\"upstream failed\":1}"), std::string::npos);
    const std::string page = statusPage(s, "/stats.json");
    EXPECT_EQ(page.find("<script>\""), std::string::npos);
    EXPECT_NE(page.find("http://x/&lt;script&gt;&quot;a\\b&quot;%01"), std::string::npos);
    EXPECT_NE(page.find("<svg id=\"plot\""), std::string::npos);
    EXPECT_NE(page.find("<table id=\"connections\">"), std::string::npos);
}

TEST(RelayStats, TheStatusPagesAnswerByPathAndMethod) {
    const RelaySnapshot s = busy();
    auto status = [&](std::string_view head) {
        const std::string a = statusAnswer(head, s);
        return a.substr(0, a.find("\r\n"));
    };
    EXPECT_EQ(status("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), "HTTP/1.1 200 OK");
    EXPECT_EQ(status("GET /metrics?x=1 HTTP/1.0\n\n"), "HTTP/1.1 200 OK");
    EXPECT_EQ(status("GET http://halvex.status/stats.json HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
    EXPECT_EQ(status("GET http://halvex.status HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
    EXPECT_EQ(status("GET /nothing HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(status("POST / HTTP/1.1\r\n\r\n"), "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(status("\x16\x03\x01 hello\r\n\r\n"), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(status("GET /\r\n\r\n"), "HTTP/1.1 400 Bad Request");
    const std::string head = statusAnswer("HEAD /metrics HTTP/1.1\r\n\r\n", s);
    EXPECT_TRUE(head.ends_with("\r\n\r\n"));
    EXPECT_NE(head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    // A head is whole at its blank line, or answered as bad once it is too long to be one.
    EXPECT_FALSE(statusHeadComplete("GET / HTTP/1.1\r\nHost: x\r\n"));
    EXPECT_TRUE(statusHeadComplete("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(statusHeadComplete(std::string(9000, 'a')));
}
