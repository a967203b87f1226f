// Login routing for one slot, as plain bytes-in / actions-out rules under the relay core.
//
// A mail client logs in as USERNAME|SERVER. Until the slot has its server connection, the client's
// input is read as lines: the first line that is a login line names the server and gives the user
// part (the USER command as the server must see it); commands before it are answered here. Then
// the server must greet as a POP3 server, is asked whether it offers STLS (and secured with it)
// where the policy says so, and gets the user part and whatever the client sent after it. From
// then on the relay passes bytes unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/lines.h"
#include "common/pop3reply.h"
#include "common/relaycore.h"
#include "quessel/popmap.h"

namespace quessel {

// The greeting every client gets at once, before any server is known.
inline constexpr std::string_view kGreeting = "+OK\r\n";

// A pre-login line longer than this (line end excluded) is refused, however it arrives.
inline constexpr std::size_t kMaxLineLength = 2048;
// A server greeting longer than this without a line end is taken for a server that does not speak
// POP3.
inline constexpr std::size_t kMaxGreetingLength = 4096;
// The longest CAPA answer a server may give while the proxy secures the connection.
inline constexpr std::size_t kMaxCapaLength = 64 * 1024;
// The third command before login that is refused ends the connection.
inline constexpr int kMaxRefusals = 3;

// The user part of a login line: the text before the first "|", followed by the line end that ends
// the whole text (LF CR, CR LF, LF or CR, in that order of testing). Text without "|" is returned
// unchanged.
std::string user(std::string_view userline);
// The server part: everything after the first "|" less that line end; "" when the text holds no
// "|".
std::string server(std::string_view userline);

// A line that holds "|" and, in any case, "user".
bool isLoginLine(std::string_view line);

// The one reply a client gets whenever its server cannot be used (not allowed, unknown, refused,
// reset, silent, not a POP3 server): it names the server as the client wrote it, and nothing more.
std::string unavailableReply(std::string_view server);
// For a client that did not log in in time.
std::string loginIdleReply(int seconds);

// What the proxy offers a client before its login.
struct TlsOffer {
    bool available = false;  // STLS can be had (the proxy has a certificate)
    bool required = false;   // no login in the clear
};

// How the server side is secured.
enum class ServerTls {
    off,        // in the clear, whatever the server offers
    automatic,  // STLS when the server offers it; in the clear otherwise, unless the client is on TLS
    stls,       // STLS, or the server is not used
    implicit,   // TLS from the first byte (POP3S)
};

// A login line refused before any server was asked: why, in an admin's words, and the login name
// and server as the client wrote them.
struct RefusedLogin {
    std::string reason;
    std::string loginName, serverName;
};

struct LoginPolicy {
    int serverPort = 110;    // where every server connection goes
    int loginSeconds = 60;   // named in the reply to a client that did not log in in time
    ServerTls serverTls = ServerTls::automatic;
    TlsOffer clientTls;
    int greetingSeconds = 30;  // named in the log when a server did not greet in time
    // Routing by the map (login names to servers), and whether USERNAME|SERVER is taken too.
    std::shared_ptr<const PopMap> map;
    bool userServer = true;
    // The client is on this machine: AUTH PLAIN may be offered in the clear (unless TLS is
    // required), as a mail client on the server itself asks.
    bool clientLocal = false;
    // Told of every login line that is refused before any server is asked.
    std::function<void(const RefusedLogin &)> refusedLogin;
};

// One slot's login routing in the relay: the greeting, the commands before the login line, the
// server connection it opens, the server's greeting checked and dropped (and the server secured),
// and the -ERR line a client gets when its server cannot be used.
class LoginRules : public common::RelayRules {
public:
    // The one way through a login, in order; `phase()` is always one of them.
    enum class Phase : std::uint8_t {
        beforeLogin,  // the client's lines are answered here until one is a login line
        connecting,   // the login line named a server; the server side is being opened
        greeting,     // connected; the server's greeting is awaited
        capa,         // asked whether the server offers STLS
        stls,         // STLS sent to the server
        handshake,    // the server side's TLS handshake runs
        relaying,     // the user part went to the server: bytes pass unchanged
        ended,        // QUIT, a refused line, or a server that could not be used
    };

    explicit LoginRules(const LoginPolicy &policy)
        : policy_(policy), lines_(kMaxLineLength, true), replies_(kMaxGreetingLength) {}

    std::string_view welcome() override { return kGreeting; }
    Opening open(std::string_view bytes) override;
    Start connected() override;
    Greeting greet(std::string_view bytes) override;
    Greeting encrypted(common::Side side) override;
    Pass relay(common::Side from, std::string_view bytes) override;
    std::string failure(common::Failure why, std::string_view reason) override;
    // USERNAME|SERVER once the login line is read.
    std::string target() const override;

    Phase phase() const { return phase_; }
    // The name of the last change of phase, for tests and traces.
    const char *transition() const { return transition_; }
    bool clientTls() const { return clientTls_; }
    bool serverEncrypted() const { return serverTls_; }
    // The server part and the user part of the login line (from connecting on).
    const std::string &serverPart() const { return server_; }
    const std::string &userPart() const { return user_; }
    // The login name the client gave (before "|"), for the log.
    std::string userName() const;
    // What the client sent after its login line, while the server side is being opened.
    const std::string &held() const { return held_; }
    // Why the server could not be used, in an admin's words; "" when nothing was refused.
    const std::string &refusal() const { return refusal_; }

private:
    void enter(Phase next, const char *why);
    // The client's words before its login.
    void onLine(const common::LineAssembler::Line &line, Opening &o);
    void answer(std::string_view reply);
    void refused(std::string_view reply, Opening &o);
    void refusedLogin(std::string_view line, std::string_view why);
    void end(Opening &o, const char *why);
    bool plainOffered() const;
    void onAuth(std::string_view args, Opening &o);
    void onPlain(std::string_view response, Opening &o);
    // A login name routed (by the map, or USERNAME|SERVER where that is taken); false when it
    // cannot be, the client told.
    bool route(std::string_view name, std::string &login, Opening &o);
    // The server's words before the relay.
    Greeting onGreeting(std::string_view bytes);
    Greeting onCapa(std::string_view bytes);
    Greeting onStls(std::string_view bytes);
    Greeting acceptServer(std::string_view forClient);
    Greeting refuseServer(std::string why);

    LoginPolicy policy_;
    Phase phase_ = Phase::beforeLogin;
    const char *transition_ = "new slot";
    common::LineAssembler lines_;  // the client's, before its login
    common::Pop3Reply replies_;    // the server's, before the relay
    int refusals_ = 0;             // commands before login answered with -ERR
    bool clientTls_ = false;
    bool serverTls_ = false;
    bool stlsOffered_ = false;
    // AUTH PLAIN from the client: its identities and password, and whether the server takes
    // PLAIN too (else USER and PASS go, and the answer to USER is the proxy's to drop).
    bool awaitingPlain_ = false;
    bool plain_ = false;
    std::string authzid_, authcid_, password_;
    bool serverPlain_ = false;
    enum class Swallow : std::uint8_t { none, userAnswer, passAnswer };
    Swallow swallow_ = Swallow::none;
    common::LineAssembler serverLines_{kMaxGreetingLength};
    int port_ = 0;
    std::string loginName_;  // the name the client gave, for the log
    std::string user_, server_, host_;
    std::string held_;
    std::string reply_;  // for the client, this event
    std::string first_;  // for the server once it is accepted
    std::string refusal_;
};

}  // namespace quessel
