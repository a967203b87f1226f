// The command line: ports and time-out given by the admin, and clear refusals of anything else.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "quessel/options.h"

using quessel::parseOptions;

namespace {

TEST(Options, DefaultsAreThePop3Port) {
    auto o = parseOptions({});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->port, 110);
    EXPECT_EQ(o->serverPort, 110);
    EXPECT_EQ(o->bind, "");
    EXPECT_EQ(o->serverTimeout, 30);
    EXPECT_FALSE(o->help);
}

TEST(Options, ValuesInBothSpellings) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--port", "1110", "--server-port", "2110", "--bind", "127.0.0.1",
                                   "--server-timeout", "5"},
          std::vector<std::string>{"--port=1110", "--server-port=2110", "--bind=127.0.0.1",
                                   "--server-timeout=5"}}) {
        auto o = parseOptions(args);
        ASSERT_TRUE(o);
        EXPECT_EQ(o->port, 1110);
        EXPECT_EQ(o->serverPort, 2110);
        EXPECT_EQ(o->bind, "127.0.0.1");
        EXPECT_EQ(o->serverTimeout, 5);
    }
    EXPECT_TRUE(parseOptions({"--help"})->help);
}

TEST(Options, StoredValuesFillWhatTheCommandLineLeavesOut) {
    const std::map<std::string, std::string> stored = {
        {"allowclients", "192.0.2.0/24"}, {"allowservers", "pop.internal 10.1.0.0/16"},
        {"idletimeout", "900"}, {"logintimeout", "30"}, {"maxperclient", "8"},
        {"popmap", "/etc/tessaruno/popmap"}, {"userserver", "on"}};
    auto lookup = [&](std::string_view name) {
        auto it = stored.find(std::string(name));
        return it == stored.end() ? std::string() : it->second;
    };
    auto o = parseOptions({"--login-timeout", "5"}, lookup);
    ASSERT_TRUE(o) << o.why();
    EXPECT_EQ(o->loginTimeout, 5);  // the command line wins for this run
    EXPECT_EQ(o->idleTimeout, 900);
    EXPECT_EQ(o->maxPerClient, 8);
    EXPECT_TRUE(o->allowClients.contains(*common::NetAddress::parse("192.0.2.7")));
    EXPECT_FALSE(o->allowClients.contains(*common::NetAddress::parse("127.0.0.1")));
    EXPECT_TRUE(o->allowServers.namesHost("POP.internal"));
    EXPECT_TRUE(o->allowServers.contains(*common::NetAddress::parse("10.1.2.3")));
    EXPECT_EQ(o->mapFile, "/etc/tessaruno/popmap");  // the map's stored name is its own
    EXPECT_EQ(o->userServer, true);

    auto bad = parseOptions({}, [](std::string_view name) {
        return name == "idletimeout" ? std::string("soon") : std::string();
    });
    EXPECT_EQ(bad.why(), "registry value idletimeout: not a number of seconds: soon");
}

TEST(Options, DefaultsServeAnOfficeNetwork) {
    auto o = parseOptions({});
    ASSERT_TRUE(o);
    for (const char *local : {"127.0.0.1", "::1", "10.2.3.4", "172.31.0.1", "192.168.1.1",
                              "169.254.0.9", "fd00::1", "fe80::1", "::ffff:192.168.1.1"})
        EXPECT_TRUE(o->allowClients.contains(*common::NetAddress::parse(local))) << local;
    for (const char *outside : {"8.8.8.8", "172.32.0.1", "2001:db8::1", "192.169.0.1"})
        EXPECT_FALSE(o->allowClients.contains(*common::NetAddress::parse(outside))) << outside;
    EXPECT_TRUE(o->allowServers.empty());
    EXPECT_EQ(o->loginTimeout, 60);
    EXPECT_EQ(o->idleTimeout, 600);
    EXPECT_EQ(o->maxPerClient, 64);
    // 0 is no limit, as for every time of the suite.
    auto unlimited = parseOptions({"--idle-timeout", "0"});
    ASSERT_TRUE(unlimited);
    EXPECT_EQ(unlimited->idleTimeout, 0);
    // The rows both proxies share are declared once, with each one's own words and defaults.
    EXPECT_NE(quessel::usage().find("--idle-timeout SECONDS"), std::string::npos);
    EXPECT_NE(quessel::usage().find("sessions from one client address (default 64)"), std::string::npos);
    EXPECT_NE(quessel::usage().find("may log in"), std::string::npos);
}

TEST(Options, BadArgumentsNameTheProblem) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--port"}, "--port needs a value"},
        {{"--port", "0"}, "--port: not a port number: 0"},
        {{"--port", "65536"}, "--port: not a port number: 65536"},
        {{"--port", "11o"}, "--port: not a port number: 11o"},
        {{"--port", "-1"}, "--port: not a port number: -1"},
        {{"--server-port", ""}, "--server-port: not a port number: "},
        {{"--server-timeout", "0"}, "--server-timeout: not a number of seconds from 1 to 2678400: 0"},
        {{"--allow-clients", "10.0.0.0/33"}, "--allow-clients: not an address or range: 10.0.0.0/33"},
        {{"--allow-clients", "mail.example.org"},
         "--allow-clients: not an address or range: mail.example.org"},
        {{"--max-per-client", "x"}, "--max-per-client: not a number: x"},
        {{"--tls-cert", "c.pem"}, "--tls-cert and --tls-key go together"},
        {{"--require-tls"}, "--require-tls needs --tls-cert and --tls-key"},
        {{"--tls-port", "995"}, "--tls-port needs --tls-cert and --tls-key"},
        {{"--server-tls", "maybe"}, "--server-tls: not off, auto, stls or implicit: maybe"},
        {{"--bind="}, "--bind needs an address"},
        {{"--verbose"}, "unknown argument: --verbose"},
        {{"110"}, "unknown argument: 110"},
    };
    for (const auto &[args, why] : cases) {
        auto o = parseOptions(args);
        EXPECT_FALSE(o) << why;
        EXPECT_EQ(o.why(), why);
    }
}

}  // namespace

namespace {

std::string fromMap(const std::map<std::string, std::string> &m, std::string_view name) {
    auto it = m.find(std::string(name));
    return it == m.end() ? std::string() : it->second;
}

// Restores the shared store as the source after a test that stood in quessel's own file.
struct OwnFile {
    OwnFile() {
        common::setStoredSource({[](std::string_view n) { return "quessel.conf:9: " + std::string(n); }, true});
    }
    ~OwnFile() { common::setStoredSource({}); }
};

}  // namespace

// Where quessel listens is its own: the shared store cannot say it (halvex reads that store too),
// quessel's own file can.
TEST(Options, ListenPlaceOnlyFromTheCommandLineOrTheOwnFile) {
    const std::map<std::string, std::string> stored{
        {"port", "1110"}, {"serverport", "2110"}, {"bind", "127.0.0.1"}, {"servertimeout", "5"}};
    auto lookup = [&](std::string_view n) { return fromMap(stored, n); };
    auto shared = parseOptions({}, lookup);
    ASSERT_TRUE(shared) << shared.why();
    EXPECT_EQ(shared->port, 110);
    EXPECT_EQ(shared->serverPort, 110);
    EXPECT_EQ(shared->bind, "");
    EXPECT_EQ(shared->serverTimeout, 30);
    {
        OwnFile own;
        auto o = parseOptions({}, lookup);
        ASSERT_TRUE(o) << o.why();
        EXPECT_EQ(o->port, 1110);
        EXPECT_EQ(o->serverPort, 2110);
        EXPECT_EQ(o->bind, "127.0.0.1");
        EXPECT_EQ(o->serverTimeout, 5);
        // The command line still wins, and a wrong value names the file's line.
        EXPECT_EQ(parseOptions({"--port", "995"}, lookup)->port, 995);
        auto bad = parseOptions({}, [](std::string_view n) { return n == "port" ? std::string("pop") : std::string(); });
        ASSERT_FALSE(bad);
        EXPECT_EQ(bad.why(), "quessel.conf:9: port: not a port number: pop");
    }
}

TEST(Options, StoredSwitchesSayOnOrOff) {
    const std::string cert = "/etc/ssl/c.pem";
    for (const char *off : {"", "off", "no", "0", "false"}) {
        auto o = parseOptions({}, [&](std::string_view n) {
            return n == "requiretls" ? std::string(off) : n == "tlscert" || n == "tlskey" ? cert : std::string();
        });
        ASSERT_TRUE(o) << off;
        EXPECT_FALSE(o->requireTls) << off;
    }
    auto on = parseOptions({}, [&](std::string_view n) {
        return n == "requiretls" ? std::string("on") : n == "tlscert" || n == "tlskey" ? cert : std::string();
    });
    ASSERT_TRUE(on);
    EXPECT_TRUE(on->requireTls);
    auto bad = parseOptions({}, [](std::string_view n) { return n == "requiretls" ? std::string("sometimes") : std::string(); });
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.why(), "registry value requiretls: not on or off: sometimes");
    const std::vector<std::string> names = quessel::storedNames();
    for (const char *n : {"port", "serverport", "bind", "servertimeout", "popmap", "requiretls", "tlscert"})
        EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
    EXPECT_EQ(std::find(names.begin(), names.end(), "map"), names.end());
}
