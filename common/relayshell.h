// The relay shell: the two socket arrays of a relay, paired by slot index (element 0 of the client
// array listens; element 0 of the server array is a template that never connects), the lowest-free
// slot table, one sweep timer for every slot's deadlines, and the send-room measurements that the
// backpressure rule needs. Each event of either array becomes an event of that slot's RelaySlot,
// with the side it came from; the actions that come back are carried out on the sockets. One set
// of handlers serves both directions.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/netaddress.h"
#include "common/relaycore.h"
#include "common/relaystats.h"
#include "common/socketarray.h"
#include "common/tunnelpump.h"

namespace common {

// What a slot did, for the log line at its end.
struct SlotStats {
    QString peer;
    std::int64_t fromClient = 0;  // bytes relayed each way
    std::int64_t fromServer = 0;
    Millis millis = 0;             // from accept to release
    bool relayed = false;          // the relay between the sides started
    QString failure;               // why the server side failed, when it did
    const char *transition = "";   // the slot's last change
};

class RelayShell : public QObject {
    Q_OBJECT
public:
    // What a window wants to know of its relay.
    class Observer {
    public:
        virtual ~Observer() = default;
        virtual void accepted(int /*slot*/) {}
        virtual void connected(int /*slot*/) {}
        // Bytes a side sent (first: what the server side gets first), as the traces show them.
        virtual void relayed(int /*slot*/, Side /*from*/, std::string_view /*bytes*/,
                             bool /*first*/) {}
        // The relay between the two sides has started.
        virtual void relaying(int /*slot*/) {}
        // The slot goes; its rules are still there to be asked (RelayShell::rules).
        virtual void released(int /*slot*/, const struct SlotStats & /*stats*/) {}
        // The listener failed and is closed.
        virtual void listenerFailed(const QString & /*why*/) {}
        // A client was closed at once, or a server refused by the policy; why says which rule.
        virtual void refusedClient(const QString & /*peer*/, const QString & /*why*/) {}
        virtual void refusedServer(int /*slot*/, const QString & /*host*/) {}
        // A side's connection is encrypted now; info names the protocol and cipher.
        virtual void encrypted(int /*slot*/, Side /*side*/, const QString & /*info*/) {}
    };
    // What to do when the process has no descriptor left for a new client.
    enum class WhenExhausted {
        refuseNew,          // the new client is refused at once
        dropOldestWaiting,  // the oldest client whose server side is not open yet goes
    };
    // The rules for a new slot; peer is the client's address.
    using MakeRules = std::function<std::unique_ptr<RelayRules>(int slot, const QString &peer)>;

    RelayShell(const QString &clientArray, const QString &serverArray, int maxSlots,
               MakeRules makeRules, QObject *parent = nullptr);
    ~RelayShell() override;

    SocketArray &clients() { return clients_; }
    SocketArray &servers() { return servers_; }
    const SocketArray &clients() const { return clients_; }
    const SocketArray &servers() const { return servers_; }

    void setObserver(Observer *observer) { observer_ = observer; }
    // Apply to every slot, the open ones included.
    void setLimits(const RelayLimits &limits) { limits_ = limits; }
    const RelayLimits &limits() const { return limits_; }

    // Who may use the relay: a client from elsewhere is closed at once, before anything is read
    // from it, and takes no slot. Unset: everyone.
    void setAllowedClients(const AddressList &clients) { allowedClients_ = clients; }
    // At most this many slots for one client address; further clients are closed at once.
    void setMaxPerClient(int n) { maxPerClient_ = n; }
    // Where the server side of a slot may connect when its client names the server (the rules
    // say which). Unset: anywhere.
    void setServerPolicy(const ServerPolicy &policy) {
        serverPolicy_ = policy;
        hasServerPolicy_ = true;
    }
    void setWhenExhausted(WhenExhausted w) { whenExhausted_ = w; }
    // A slot whose rules say it is a plain tunnel now is carried by the event loop or by a pump
    // on a thread of its own, whichever carries the fewest: many tunnels spread over the cores.
    // A pump takes the sockets once both are in the clear with nothing queued; its tunnel's bytes
    // no longer pass the observer, and the slot stays taken until the tunnel ends.
    void setCarryTunnels(bool on);
    // Balancers whose connections begin with a PROXY header (version 1 or 2) naming the client:
    // that client is the one the allow list, the cap and the log see. A connection from anyone
    // else that begins with one is refused.
    void setBalancers(const AddressList &balancers) { balancers_ = balancers; }
    int refusedClients() const { return refusedClients_; }
    // A request or a login handled, by its outcome ("passed", "blocked", "ok", ...), for the counts.
    void countHandled(std::string_view outcome) { counts_.handled.add(outcome); }
    // The connections and the counts as they stand (the program's name and noun left to the
    // caller). Made only when asked: the relay itself keeps nothing but the counts.
    RelaySnapshot snapshot();
    int refusedServers() const { return refusedServers_; }

    // The certificate a client sees: on the TLS listener, and when a client's connection is
    // upgraded.
    void setTlsIdentity(std::shared_ptr<TlsServerContext> identity) { identity_ = std::move(identity); }

    // Opens the listener (closing it first); false and a readable reason when it cannot be had.
    bool listen(const QString &address, int port, QString *why = nullptr);
    // A second listener whose clients speak TLS from their first byte.
    bool listenTls(const QString &address, int port, QString *why = nullptr);
    bool listening() const;
    void stopListening();
    // The listener moved to another address or port (SIGHUP), the new one open before the old
    // one closes; open connections go on. False, listening as before, when it cannot be had.
    bool moveListener(const QString &address, int port, QString *why = nullptr);
    bool moveTlsListener(const QString &address, int port, QString *why = nullptr);
    bool listeningTls() const;
    void stopListeningTls();

    // Frees a slot: both connections closed (queued bytes still go out), both elements gone.
    void release(int slot);
    // Frees every slot.
    void releaseAll();
    // Closes every slot's connections but keeps their elements: such a slot stays taken, and
    // quiet, until releaseAll() or release().
    void closeAll();

    int maxSlots() const { return maxSlots_; }
    // Slots taken (relaying or kept by closeAll).
    int count() const { return clients_.count() - 1; }
    // The slot's relay, or null when the slot has none.
    const RelaySlot *slot(int i) const;
    // The slot's rules (the program's own type), or null.
    const RelayRules *rules(int i) const;
    RelayRules *rules(int i);
    // The clock of the slots' times (milliseconds, monotonic).
    static Millis now();
    QString peer(int i) const;

private:
    struct Slot;
    struct PendingHeader;

    Socket *socketOf(Side side, int i) const;
    Slot *slotAt(int i) const;

    void onRequest(qintptr requestID, bool tls);
    // Refuses the client when it is not.
    bool admissible(const NetAddress &address, const QString &peer);
    bool fromBalancer(const NetAddress &address) const;
    void admit(int n, const NetAddress &address, const QString &peer, bool tls,
               std::string_view first);
    void onHeader(int i);
    void onEncrypted(Side side, int i);
    void onExhausted();
    // Closes a client before it takes a slot.
    void refuse(const QString &peer, const QString &why, std::string_view reason);
    void forget(int i);  // the slot's relay goes; its client no longer counts
    void onConnected(int i);
    void onData(Side side, int i);
    void onEnded(Side side, int i);
    void onFailed(Side side, int i, int number, const QString &why);
    void onDrained(Side side, int i);
    void sweep();

    // Steps slot i with the event and carries out what comes back.
    void run(int i, const RelayEvent &event);
    void execute(int i, const RelayActions &actions);
    void noteRelaying(int i);  // tells the observer once the slot relays
    void openServer(int i, std::string_view host, int port, bool tls);
    void startTls(Side side, int i, std::string_view alreadyRead = {}, std::string_view name = {});
    void redeliverLater(Side side, int i);
    void handOff(int i);  // to the tunnel pump, when the slot may go there
    void onTunnelEnded(const TunnelPump::Ended &e);
    // The counts with what the pumps' tunnels have carried so far.
    RelayCounts countsNow() const;
    // The bytes so far, for the second they are counted in.
    void sampleThroughput(Millis t);

    SocketArray clients_;
    SocketArray servers_;
    SocketArray tlsListener_{QStringLiteral("tlslistener")};  // element 0 only
    std::shared_ptr<TlsServerContext> identity_;
    int maxSlots_;
    MakeRules makeRules_;
    RelayLimits limits_;
    Observer *observer_ = nullptr;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<std::unique_ptr<PendingHeader>> headers_;
    AddressList balancers_;
    std::optional<AddressList> allowedClients_;
    int maxPerClient_ = 0;  // 0: no cap
    struct AddressHash {
        std::size_t operator()(const NetAddress &a) const;
    };
    std::unordered_map<NetAddress, int, AddressHash> perClient_;
    ServerPolicy serverPolicy_;
    bool hasServerPolicy_ = false;
    WhenExhausted whenExhausted_ = WhenExhausted::refuseNew;
    int refusedClients_ = 0;
    int refusedServers_ = 0;
    bool carryTunnels_ = false;
    std::vector<std::unique_ptr<TunnelPump>> pumps_;
    std::vector<int> carried_;  // tunnels each carrier has: the event loop first, then the pumps
    QTimer sweep_;
    quint64 serial_ = 0;  // tells a slot from an earlier one under the same index
    RelayCounts counts_;
    Throughput throughput_;
    Millis startedAt_ = now();
};

}  // namespace common
