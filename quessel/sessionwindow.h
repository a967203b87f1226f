// The session window "quessel": the listener, the slots and the relay. It is opened hidden at
// start; all sockets of the program belong to its relay.
//
// A slot i holds the client's connection socki(i) and, once the client has logged in as
// USERNAME|SERVER, the server connection socke(i). A slot is free exactly when socki(i) does not
// exist. What happens in a slot before the relay starts is quessel's LoginRules.
#pragma once

#include <QString>
#include <QWidget>
#include <string_view>
#include <vector>

#include "common/relayshell.h"
#include "common/statusserver.h"
#include "common/servicestatus.h"
#include "common/tracebox.h"
#include "common/tracetext.h"
#include "quessel/loginline.h"
#include "quessel/options.h"

namespace quessel {

// Slot indices are 16-bit, as mail clients and logs have always seen them.
inline constexpr int kMaxSlots = 32767;
// After one side has ended, the other has this long without data before the slot is released.
inline constexpr int kHalfCloseLingerMs = 60000;

class SessionWindow : public QWidget, private common::RelayShell::Observer {
    Q_OBJECT
public:
    explicit SessionWindow(const Options &options, QWidget *parent = nullptr);
    ~SessionWindow() override;

    // Window load: closes leftovers and starts listening.
    void load();
    // Opens the listener unless it is open; false (and listenerStatus) when the port cannot be had.
    bool startListening();
    bool listening() const;
    // The reason the listener is not open, or "".
    QString listenError() const { return listenError_; }
    // New settings for the sessions to come (who may connect, where, limits, the certificate,
    // the map); open sessions go on. A new listen port or address is opened before the old one
    // closes. What cannot be had (a port in use, a certificate or map that cannot be read) keeps
    // the old, and is named.
    common::ReloadOutcome apply(const Options &options);

    // The relay's socket arrays, paired by slot index.
    const common::SocketArray &socki() const { return relay_.clients(); }  // element 0 listens
    const common::SocketArray &socke() const { return relay_.servers(); }
    // Whether the traces show what both sides send; off unless switched on.
    bool tracing() const { return tracing_; }
    void setTracing(bool on) { tracing_ = on; }

    // Number of slots in use.
    int slotCount() const { return relay_.count(); }
    int refusedClients() const { return relay_.refusedClients(); }
    // Servers not allowed, and login lines refused before any server was asked.
    int refusedServers() const { return relay_.refusedServers() + refusedLogins_; }
    // "127.0.0.1:110, POP3S 995", "every address, port 110".
    QString listenDescription() const;
    // What the service manager shows: sessions open, logins so far, refusals of the last minute.
    common::ServiceFigures figures() const;
    // The sessions and counts as the status page and the connections window show them.
    common::RelaySnapshot snapshot();

signals:
    // A line for the main window's status panel; "" once the listener is open.
    void listenerStatus(const QString &text);
    // Clients closed at once and servers not allowed, so far.
    void refusalsChanged(int clients, int servers);

private:
    common::RelayShell relay_;
    common::StatusServer status_;
    QString statusWhy_;  // why the status page could not be served where the options say
    common::TraceBox *Text1;  // client-side trace
    common::TraceBox *Text2;  // server-side trace
    bool tracing_ = false;
    int serverPort_ = 110;

    void accepted(int slot) override;
    void relaying(int slot) override;
    void released(int slot, const common::SlotStats &stats) override;
    void relayed(int slot, common::Side from, std::string_view bytes, bool first) override;
    void listenerFailed(const QString &why) override;
    void refusedClient(const QString &peer, const QString &why) override;
    void refusedServer(int slot, const QString &host) override;
    void refusedLogin(int slot, const RefusedLogin &login);
    void encrypted(int slot, common::Side side, const QString &info) override;
    void unload();
    void applyLimits();
    void applyServerPolicy();
    void loadIdentity();
    void trace(common::TraceBox *box, int i, std::string_view text);

    Options options_;
    QString listenError_;
    std::shared_ptr<common::TlsServerContext> identity_;
    QString tlsError_;  // the certificate could not be loaded (or the map, at the start)
    QString loadMap();
    std::shared_ptr<const PopMap> map_;
    QString mapError_;
    int refusedLogins_ = 0;
    std::uint64_t logins_ = 0;
    common::RecentCount refusals_;
    // Follows everything each client sends, traced or not, so that a trace switched on in the
    // middle of a session still never shows a password.
    std::vector<common::SecretMask> masks_;
};

}  // namespace quessel
