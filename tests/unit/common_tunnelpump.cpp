// The tunnel pump over socket pairs: bytes both ways, half-closes passed on, the limits, drop.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/tunnelpump.h"

using namespace common;

namespace {

// One end the test keeps (the program's client or server), one the pump carries.
struct Pair {
    int mine = -1, carried = -1;
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        mine = fds[0];
        carried = fds[1];
        ::fcntl(carried, F_SETFL, O_NONBLOCK);
    }
    ~Pair() { ::close(mine); }
};

struct Reports {
    std::mutex m;
    std::condition_variable cv;
    std::optional<TunnelPump::Ended> last;
    TunnelPump::Report sink() {
        return [this](const TunnelPump::Ended &e) {
            std::lock_guard<std::mutex> lock(m);
            last = e;
            cv.notify_all();
        };
    }
    bool any() {
        std::lock_guard<std::mutex> lock(m);
        return last.has_value();
    }
    std::optional<TunnelPump::Ended> wait(int seconds = 5) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::seconds(seconds), [this] { return last.has_value(); });
        return last;
    }
};

std::string readAll(int fd, std::size_t most) {
    std::string got;
    char buf[65536];
    while (got.size() < most) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, std::size_t(n));
    }
    return got;
}

void writeAll(int fd, const std::string &bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        ASSERT_GT(n, 0);
        at += std::size_t(n);
    }
}

}  // namespace

TEST(TunnelPump, CarriesBothWaysAndPassesEachEndOn) {
    Reports reports;
    TunnelPump pump(reports.sink());
    Pair client, server;
    ASSERT_TRUE(pump.add(7, client.carried, server.carried, {}));
    // More than a pipe holds, so that the pump waits for the reader more than once.
    std::string big(3 * 1024 * 1024 + 17, 'x');
    for (std::size_t i = 0; i < big.size(); i += 4096) big[i] = char('a' + i % 26);
    std::string got;
    std::thread reader([&] { got = readAll(server.mine, big.size()); });
    writeAll(client.mine, big);
    reader.join();
    EXPECT_EQ(got, big);
    // The client ends its stream: the server hears the end, and may still answer.
    ::shutdown(client.mine, SHUT_WR);
    EXPECT_EQ(readAll(server.mine, 1), "");
    writeAll(server.mine, "late answer");
    EXPECT_EQ(readAll(client.mine, 11), "late answer");
    EXPECT_FALSE(reports.any());
    ::shutdown(server.mine, SHUT_WR);
    const auto end = reports.wait();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->id, 7u);
    EXPECT_EQ(end->fromClient, std::int64_t(big.size()));
    EXPECT_EQ(end->fromServer, 11);
    EXPECT_STREQ(end->transition, "both sides ended");
    EXPECT_EQ(end->failure, "");
    EXPECT_EQ(readAll(client.mine, 1), "");  // and it is closed
}

TEST(TunnelPump, SilenceDropAndStopEndATunnel) {
    {
        // Silent both ways for the idle limit.
        Reports reports;
        TunnelPump pump(reports.sink());
        Pair client, server;
        RelayLimits limits;
        limits.idle = 200;
        ASSERT_TRUE(pump.add(1, client.carried, server.carried, limits));
        const auto end = reports.wait();
        ASSERT_TRUE(end);
        EXPECT_STREQ(end->transition, "silent both ways");
        EXPECT_EQ(readAll(client.mine, 1), "");
        EXPECT_EQ(readAll(server.mine, 1), "");
    }
    {
        // Half-ended and silent for the linger limit, however long the idle limit is.
        Reports reports;
        TunnelPump pump(reports.sink());
        Pair client, server;
        RelayLimits limits;
        limits.idle = 3600 * 1000;
        limits.linger = 200;
        ASSERT_TRUE(pump.add(2, client.carried, server.carried, limits));
        ::shutdown(client.mine, SHUT_WR);
        const auto end = reports.wait();
        ASSERT_TRUE(end);
        EXPECT_STREQ(end->transition, "one side ended and the other stayed silent");
    }
    {
        // Dropped by the relay: closed at once, and reported.
        Reports reports;
        TunnelPump pump(reports.sink());
        Pair client, server;
        ASSERT_TRUE(pump.add(3, client.carried, server.carried, {}));
        pump.drop(3);
        const auto end = reports.wait();
        ASSERT_TRUE(end);
        EXPECT_STREQ(end->transition, "dropped by the relay");
        EXPECT_EQ(readAll(server.mine, 1), "");
    }
    {
        // The pump goes with tunnels still open: they close, and nobody is called any more.
        Reports reports;
        Pair client, server;
        {
            TunnelPump pump(reports.sink());
            ASSERT_TRUE(pump.add(4, client.carried, server.carried, {}));
        }
        EXPECT_EQ(readAll(client.mine, 1), "");
        EXPECT_FALSE(reports.any());
    }
}

TEST(TunnelPump, AReaderThatTakesNothingHoldsTheWriterBack) {
    // The relay core's one backpressure rule holds on the pump too: while the server reads
    // nothing, the client's writes soon block instead of the pump buffering all of it.
    Reports reports;
    TunnelPump pump(reports.sink());
    Pair client, server;
    ASSERT_TRUE(pump.add(9, client.carried, server.carried, {}));
    ::fcntl(client.mine, F_SETFL, O_NONBLOCK);
    std::string sent;
    const std::string piece(65536, 'p');
    for (int quiet = 0; quiet < 20 && sent.size() < (64u << 20);) {
        const ssize_t n = ::write(client.mine, piece.data(), piece.size());
        if (n > 0) {
            sent.append(piece, 0, std::size_t(n));
            quiet = 0;
        } else {
            ++quiet;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    EXPECT_LT(sent.size(), 16u << 20);  // what the socket buffers and one queued chunk hold
    ::shutdown(client.mine, SHUT_WR);
    EXPECT_EQ(readAll(server.mine, sent.size() + 1), sent);
    ::shutdown(server.mine, SHUT_WR);
    const auto end = reports.wait();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->fromClient, std::int64_t(sent.size()));
}

TEST(TunnelPump, ASocketThatFailsEndsTheTunnelWithItsReason) {
    Reports reports;
    TunnelPump pump(reports.sink());
    Pair client;
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    ASSERT_TRUE(pump.add(5, client.carried, fds[1], {}));
    ::close(fds[0]);  // the server's end goes: what the client sends cannot be delivered
    writeAll(client.mine, "to nobody");
    const auto end = reports.wait();
    ASSERT_TRUE(end);
    EXPECT_STREQ(end->transition, "the server failed");
    EXPECT_FALSE(end->failure.empty());
}
