// Login routing for one slot, as plain bytes-in / actions-out logic.
//
// A mail client logs in as USERNAME|SERVER. Until the slot has its server connection, the client's
// input is assembled into lines: the first line that is a login line names the server and gives the
// user part (the USER command as the server must see it); commands before it are answered here.
// Once the server connection exists, the relay passes bytes unchanged and this class only strips
// the server's greeting (the client already had ours).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/relaycore.h"

namespace quessel {

// The greeting every client gets at once, before any server is known.
inline constexpr std::string_view kGreeting = "+OK\r\n";

// A pre-login line longer than this (line end excluded) is refused.
inline constexpr std::size_t kMaxLineLength = 2048;
// A server greeting longer than this without a line end is taken for a server that does not speak
// POP3.
inline constexpr std::size_t kMaxGreetingLength = 4096;

// The user part of a login line: the text before the first "|", followed by the line end that ends
// the whole text (LF CR, CR LF, LF or CR, in that order of testing). Text without "|" is returned
// unchanged.
std::string user(std::string_view userline);
// The server part: everything after the first "|" less that line end; "" when the text holds no
// "|".
std::string server(std::string_view userline);

// A line that holds "|" and, in any case, "user".
bool isLoginLine(std::string_view line);

// The host to connect to for a server part, or nothing when the text cannot be a host name or an
// address (empty, blanks, control characters, a port or anything else a host name cannot hold).
// "[::1]" becomes "::1".
std::optional<std::string> serverHost(std::string_view serverPart);

// The one reply a client gets whenever its server cannot be used (not allowed, unknown, refused,
// reset, silent, not a POP3 server): it names the server as the client wrote it, and nothing more.
std::string unavailableReply(std::string_view server);
// For a client that did not log in in time.
std::string loginIdleReply(int seconds);

// The third command before login that is refused ends the connection.
inline constexpr int kMaxRefusals = 3;

// What the window does with one piece of client input before the server connection exists.
struct ClientStep {
    std::string reply;     // send to the client now
    bool connect = false;  // open the slot's server connection to `host`
    std::string host;
    bool upgrade = false;  // TLS on the client's connection once `reply` is written (STLS)
    bool close = false;    // close the client once `reply` is written; the slot ends
    // A login line that was refused: why, in an admin's words, and the login name and server as
    // the client wrote them (for the log; empty when no login line was refused).
    std::string refused;
    std::string loginName, serverName;
};

// What the proxy offers a client before its login.
struct TlsOffer {
    bool available = false;  // STLS can be had (the proxy has a certificate)
    bool required = false;   // no login in the clear
};

// What the window does with server input while the greeting is still expected.
struct ServerStep {
    enum Kind {
        Wait,    // greeting not complete yet
        Pass,    // greeting dropped; `forClient` follows it and goes to the client
        Refuse,  // not a POP3 greeting: send `reply` to the client and end the slot
    };
    Kind kind = Wait;
    std::string_view forClient;  // points into the bytes given to fromServer
    std::string reply;
};

class Session {
public:
    enum class Phase {
        Greeted,     // assembling lines, waiting for the login line
        Connecting,  // login line seen; later input is held for the server
        Relaying,    // the server connection took the user part and the held bytes
        Ended,       // the slot is finished (QUIT, refused line)
    };

    Session() = default;
    explicit Session(TlsOffer tls) : tls_(tls) {}

    Phase phase() const { return phase_; }
    // The client's connection is encrypted now; what it sent before was dropped with the clear
    // text.
    void clientEncrypted();
    bool clientTls() const { return clientTls_; }

    // Client bytes while Greeted or Connecting; ignored otherwise.
    ClientStep fromClient(std::string_view bytes);

    // What the client sent after its login line so far.
    const std::string &held() const { return held_; }
    // The server part and the user part of the login line (Connecting and later).
    const std::string &serverPart() const { return server_; }
    const std::string &userPart() const { return user_; }

    // The server connection is up: returns the bytes to send first (the user part, then the held
    // input, in the order the client sent them) and moves to Relaying.
    std::string takeForServer();

    // Server bytes until the greeting line has gone by. After Pass, relay without calling this.
    ServerStep fromServer(std::string_view bytes);
    bool serverGreeted() const { return greeted_; }

private:
    void onLine(std::string_view line, ClientStep &step);
    void refused(std::string_view reply, ClientStep &step);
    void refusedLogin(std::string_view line, std::string_view why, ClientStep &step);

    Phase phase_ = Phase::Greeted;
    std::string line_;  // incomplete client line
    char swallow_ = 0;  // second half of a line end that may start the next input
    std::string held_;
    std::string user_;
    std::string server_;
    std::string greeting_;  // incomplete server greeting
    bool greeted_ = false;
    int refusals_ = 0;  // commands before login answered with -ERR
    TlsOffer tls_;
    bool clientTls_ = false;
};

// How the server side is secured.
enum class ServerTls {
    off,       // in the clear, whatever the server offers
    automatic, // STLS when the server offers it; in the clear otherwise, unless the client is on TLS
    stls,      // STLS, or the server is not used
    implicit,  // TLS from the first byte (POP3S)
};

struct LoginPolicy {
    int serverPort = 110;    // where every server connection goes
    int loginSeconds = 60;   // named in the reply to a client that did not log in in time
    ServerTls serverTls = ServerTls::automatic;
    TlsOffer clientTls;
    int greetingSeconds = 30;  // named in the log when a server did not greet in time
    // Told of every login line that is refused before any server is asked (ClientStep::refused).
    std::function<void(const ClientStep &)> refusedLogin;
};

// The longest CAPA answer a server may give while the proxy secures the connection.
inline constexpr std::size_t kMaxCapaLength = 64 * 1024;

// One slot's login routing in the relay: the greeting, the commands before the login line, the
// server connection it opens, the server's greeting checked and dropped, and the -ERR line a
// client gets when its server cannot be used.
class LoginRules : public common::RelayRules {
public:
    explicit LoginRules(const LoginPolicy &policy) : session_(policy.clientTls), policy_(policy) {}

    std::string_view welcome() override { return kGreeting; }
    Opening open(std::string_view bytes) override;
    Start connected() override;
    Greeting greet(std::string_view bytes) override;
    Greeting encrypted(common::Side side) override;
    std::string failure(common::Failure why, std::string_view reason) override;

    const Session &session() const { return session_; }
    // The login name the client gave (before "|"), for the log.
    std::string userName() const;
    bool serverEncrypted() const { return serverTls_; }
    // Why the server could not be used, in an admin's words; "" when nothing was refused.
    const std::string &refusal() const { return refusal_; }

private:
    // The server's words after its greeting, while the proxy secures the connection.
    Greeting negotiate(std::string_view bytes);
    Greeting acceptServer(std::string_view forClient);
    Greeting refuseServer(std::string why);

    enum class Securing { greeting, capa, stls, handshake };
    Session session_;
    LoginPolicy policy_;
    Securing securing_ = Securing::greeting;
    bool serverTls_ = false;
    std::string answer_;  // the server's CAPA or STLS answer so far
    std::string reply_;
    std::string host_;
    std::string first_;
    std::string refusal_;
};

}  // namespace quessel
