// Event-driven TCP sockets held in indexed arrays, on Qt's event loop.
//
// A SocketArray owns elements 0..n; element 0 exists from the start. Elements are created (Load) and
// destroyed (Unload) at run time, also from inside their own event handlers: a destroyed element is
// detached at once (its index is free again, no further events) and its object is deleted later.
// Every socket is a non-blocking OS socket; the event loop watches all of them through one epoll set
// (LoopPoll), so that its turn costs the same however many connections are open. Nothing here
// ever blocks.
//
// Events (signals of the array, each with the element index):
//   ConnectionRequest(index, requestID)  a client is waiting on a listening element; give the
//                                        requestID to Accept on a fresh element, or it is refused
//   Connect(index)                       an outgoing connection is established
//   DataArrival(index, bytesTotal)       bytes have arrived; GetData takes all of them as one chunk
//   Close(index)                         the peer has closed its sending side (end of stream); the
//                                        socket can still send until it is closed
//   Error(index, number, description)    the connection failed (refused, reset, name not found...)
//   SendComplete(index)                  everything queued by SendData has been handed to the kernel
//   Encrypted(index)                     a StartTls handshake is done (certificate checked)
//   Exhausted(index)                     a listener cannot accept: the process has no descriptor
//                                        left; a handler may free some, and accepting is tried once
//                                        more (a client that still cannot be taken is refused)
//
// Close() never raises the socket's own Close event. Bytes already queued are still written out after
// Close() (the OS socket lingers in the background, bounded in time); Abort() drops them.
#pragma once

#include <QObject>
#include <QString>
#include <QtGlobal>

#include <sys/socket.h>

#include "common/netaddress.h"
#include "common/tls.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QHostInfo;

namespace common {

class SocketArray;
class LoopPoll;

// The room left in a socket's send buffer, as a relay measures it before it reads for that socket.
struct SendRoom {
    int sndbuf = 0;  // the buffer's size when last asked
    int age = 0;     // measures left before the size is asked again
    // Half the buffer (the kernel counts its own bookkeeping against it as well) less what waits
    // in it; -1 when the socket cannot tell. The kernel grows the buffer as the connection proves
    // fast: its size is asked for again every few calls, which follows the growth closely enough
    // at a fraction of the calls.
    long long measure(int fd);
};

class Socket : public QObject {
    Q_OBJECT
public:
    // Error numbers of our own (no errno value says them).
    static constexpr int kHostNotFound = 11001;
    static constexpr int kNotAllowed = 11002;  // every address of the host was refused by allowAddress
    static constexpr int kTlsFailed = 11003;   // the handshake or the certificate check failed

    // The values of State; the programs mostly test only whether it is 0.
    enum StateValue {
        sckClosed = 0,
        sckListening = 2,
        sckResolvingHost = 4,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8,  // the peer has closed its side; we may still send
        sckError = 9,
    };

    // Properties set before Listen / Connect.
    QString RemoteHost;  // name or address to connect to; on a listener during a request: the client's
                         // host name if one is known without a lookup, else empty
    int RemotePort = 0;
    int LocalPort = 0;
    QString LocalIP;  // address to listen on; empty means every interface
    // Where Connect may go: asked for each address the host resolves to, before connecting to it.
    // Unset: anywhere.
    std::function<bool(const NetAddress &address, int port)> allowAddress;

    // TLS: which side of the handshake a socket takes, and what it checks.
    struct TlsSettings {
        bool server = false;                          // take a handshake (the listener's side)
        std::shared_ptr<TlsServerContext> identity;   // server: the certificate shown
        TlsCheck check;                               // client: what the server must show
        // server: what was received and not taken is the start of the client's handshake (its
        // hello, sent before it was answered), not clear text to drop
        bool keepUnread = false;
    };
    // Connect with TLS from the first byte: Connect is raised only once the handshake is done and
    // the certificate checked. Unset: in the clear.
    std::optional<TlsSettings> tlsOnConnect;
    // Upgrades an open connection (STARTTLS; or an accepted one that is TLS from its first byte).
    // What was queued before goes out in the clear first; what was received and not taken is
    // dropped, so that no peer can smuggle clear text past the upgrade. Encrypted follows, or an
    // Error with the reason. Until then SendData queues.
    // alreadyRead: the first bytes of the TLS stream, taken already (behind a PROXY header).
    bool StartTls(const TlsSettings &settings, std::string_view alreadyRead = {});
    // The handshake is done: everything goes through TLS.
    bool encrypted() const { return tlsPhase_ == kTlsReady; }
    // "TLSv1.3 TLS_AES_256_GCM_SHA384", or "" in the clear.
    QString tlsInfo() const;
    // Once encrypted: the name the client asked for in its hello (taking the handshake), "" for
    // none; the end of the peer's certificate (seconds since the epoch), 0 for none.
    std::string tlsRequestedName() const;
    std::int64_t tlsPeerEnd() const;

    int index() const { return index_; }
    int State() const { return state_; }
    // The peer's dotted address; on a listener during a request, the requesting client's.
    QString RemoteHostIP() const {
        // Written when first asked: most server sides are never asked.
        if (remoteIP_.isEmpty() && hasRemote_) {
            const std::string text = remoteAddress_.text();
            remoteIP_ = QString::fromLatin1(text.data(), qsizetype(text.size()));
        }
        return remoteIP_;
    }
    // The same as an address, for the access rules.
    const NetAddress &RemoteAddress() const { return remoteAddress_; }

    // Starts listening on LocalIP:LocalPort with a backlog of at least 1024. Returns false (and a
    // readable reason in *why) when the port cannot be opened.
    bool Listen(QString *why = nullptr);
    // A listener moved to ip:port: the new one is open before the old one closes (where the port
    // stays and only the address changes, the old one must go first, and comes back when the new
    // one cannot be had). Accepted connections are not touched. False, listening as before, when
    // the new one cannot be opened.
    bool ListenAgain(const QString &ip, int port, QString *why = nullptr);
    // Takes over the connection of a ConnectionRequest. The element must be closed.
    bool Accept(qintptr requestID);
    // Starts connecting to RemoteHost:RemotePort; names are resolved without blocking. The outcome
    // arrives as a Connect or an Error event, never inside this call.
    void Connect();
    // Queues bytes for sending; never blocks. Fails, queueing nothing, unless the socket is connected.
    bool SendData(std::string_view data) { return SendData(data, {}); }
    // The same for two pieces, one after the other, handed to the kernel in one call.
    bool SendData(std::string_view first, std::string_view second);
    // Takes every pending byte as one chunk (out is overwritten; its capacity is reused).
    void GetData(std::string &out);
    std::string GetData();
    // The pending bytes without copying; valid until the handler returns. consumeData() takes them.
    std::string_view peekData() const;
    void consumeData();
    qint64 bytesPending() const;

    // Closes the connection; already queued bytes are still written out. Raises no Close event.
    void Close();
    // Closes at once, dropping anything queued.
    void Abort();
    // Half-close: sends end-of-stream once the queue is written out; reading goes on.
    void ShutdownSend();

    // Backpressure: a paused socket is not read (the kernel's window then holds the peer back).
    void setReadPaused(bool paused);
    bool readPaused() const { return readPaused_; }
    // Bytes accepted by SendData that the kernel has not taken yet.
    qint64 unsent() const { return qint64(out_.size() - outHead_); }
    // A connected socket in the clear with nothing queued either way, whose descriptor may be
    // given away (giveAway()).
    bool idleInTheClear() const;
    // The descriptor, now someone else's to close: the element is closed, with no events.
    int giveAway();
    int descriptor() const { return fd_; }
    // Room left in the kernel's send buffer: what a SendData now would hand over without queueing.
    qint64 sendRoom() const;
    // At most this much is read per chunk (a relay reads no more than its partner can take, so that
    // nothing has to be queued); 0 restores the full read size.
    void setReadLimit(qint64 bytes);
    // Raises SendComplete once the socket can take more, even with nothing queued.
    void watchWritable();

    ~Socket() override;

private:
    static int openListener(const QString &ip, int &port, QString *why);

    friend class SocketArray;
    Socket(SocketArray *array, int index);

    void adopt(int fd, int state);
    void onReadable();
    void onWritable();
    void onResolved(const QHostInfo &info);
    void tryNextAddress();
    void connectFinished();
    void flush();
    void fail(int err, const QString &why = {});
    void failLater(int err);
    // TLS
    void beginHandshake();
    void handshake();
    void dropTls();
    void scheduleRead();
    bool tlsBuffered() const;  // decrypted or read bytes wait inside TLS, unseen by the poll
    ssize_t readSome(char *buf, size_t want);
    ssize_t writeSome(const char *buf, size_t len);
    ssize_t writeTwo(std::string_view first, std::string_view second);  // plain sockets only
    void resetState();
    void detach();
    void updateReading();
    bool emitEvent();  // true while this element still belongs to its array

    SocketArray *array_;
    int index_;
    int fd_ = -1;
    int state_ = sckClosed;
    void setRemote(const NetAddress &a) {
        remoteAddress_ = a;
        hasRemote_ = true;
        remoteIP_.clear();
    }
    mutable QString remoteIP_;
    NetAddress remoteAddress_;
    bool hasRemote_ = false;
    // What the loop's poll is to tell of: readable, writable. Only wanted events reach the
    // socket; the poll itself is told after the event being handled (LoopPoll::change).
    friend class LoopPoll;
    void watchFor(bool read, bool write);
    void setReading(bool on) { watchFor(on, wantWrite_); }
    void setWriting(bool on) { watchFor(wantRead_, on); }
    std::uint32_t wantedEvents() const;  // as epoll names them
    // The descriptor leaves the poll: before it is closed (stillOpen false) or given away.
    void dropWatch(bool stillOpen);
    bool wantRead_ = false;
    bool wantWrite_ = false;
    bool changePending_ = false;  // the poll has yet to hear of a change
    std::uint32_t armed_ = 0;     // the events the poll has for armedFd_
    int armedFd_ = -1;            // the descriptor in the poll, -1 for none
    int watchId_ = -1;            // this socket's entry in the poll's table
    std::string in_;       // bytes received and not yet taken
    std::string out_;      // bytes queued and not yet written; out_[outHead_..] is pending
    size_t outHead_ = 0;
    bool readPaused_ = false;
    size_t readLimit_ = 0;  // 0: the full read size
    mutable SendRoom room_;
    mutable qint64 roomLeft_ = 0;  // the kernel's room when last measured, less what was sent since
    bool shutdownPending_ = false;
    bool sentShutdown_ = false;
    bool peekedScratch_ = false;  // the pending chunk is still in the shared read buffer
    size_t scratchLen_ = 0;
    int lookupId_ = -1;
    // An outgoing connection on its way: the addresses its host has, the next to try, the one
    // tried now. Made by Connect, gone once connected: an accepted socket never has one.
    struct Dialing {
        std::vector<std::string> addresses;
        size_t next = 0;
        sockaddr_storage to{};
    };
    std::unique_ptr<Dialing> dialing_;
    quint64 generation_ = 0;  // bumps on every reset so stale queued calls are dropped

    enum { kTlsNone, kTlsAfterFlush, kTlsHandshake, kTlsReady };
    int tlsPhase_ = kTlsNone;
    SSL *ssl_ = nullptr;
    std::unique_ptr<TlsSettings> tls_;  // while TLS is on
    bool connectAfterTls_ = false;  // raise Connect, not Encrypted, when the handshake is done
    bool readScheduled_ = false;
    bool tlsWantsRead_ = false;  // a TLS write waits for the peer's bytes
};

class SocketArray : public QObject {
    Q_OBJECT
public:
    explicit SocketArray(const QString &name, QObject *parent = nullptr);
    ~SocketArray() override;

    // The element, or nullptr when it does not exist (the "no such element" answer).
    Socket *at(int i) const;
    bool exists(int i) const { return at(i) != nullptr; }
    // The element, which must exist.
    Socket &operator[](int i) const;
    Socket &operator()(int i) const { return (*this)[i]; }

    // Creates element i; false when it exists already or i < 1.
    bool Load(int i);
    // Destroys element i (closing it first); false for element 0 or a missing element.
    bool Unload(int i);
    // Highest existing index (0 when only element 0 exists).
    int UBound() const { return ubound_; }
    // Number of existing elements, element 0 included.
    int count() const { return count_; }

signals:
    void ConnectionRequest(int index, qintptr requestID);
    void Connect(int index);
    void DataArrival(int index, qint64 bytesTotal);
    void Close(int index);
    void Error(int index, int number, const QString &description);
    void SendComplete(int index);
    void Encrypted(int index);
    void Exhausted(int index);

private:
    friend class Socket;
    std::vector<Socket *> elements_;
    std::vector<Socket *> spare_;  // unloaded elements, closed, ready for the next Load
    static constexpr size_t kSpareElements = 64;
    int ubound_ = 0;
    int count_ = 0;
};

// ---- off the event loop ------------------------------------------------------------------------
// What a driver of established tunnels on a thread of its own needs: a connected non-blocking
// socket, and a poll that waits for many of them and can be woken. No Qt, no events of their own:
// the driver asks, and steps its relay cores with what it learns.

class PlainStream {
public:
    PlainStream() = default;
    explicit PlainStream(int fd) : fd_(fd) {}
    int descriptor() const { return fd_; }

    struct Outcome {
        std::size_t bytes = 0;
        bool ended = false;  // read: the peer ended its stream
        bool again = false;  // nothing now: wait for the poll
        int error = 0;       // errno of a failure, 0 when none
    };
    Outcome read(char *into, std::size_t most);
    // Hands what the kernel takes now of the two pieces, one after the other.
    Outcome send(std::string_view first, std::string_view second = {});
    void shutdownSend();
    long long room() { return room_.measure(fd_); }
    void close();

private:
    int fd_ = -1;
    SendRoom room_;
};

// A readable text for an errno value, as the sockets' own errors read.
std::string socketErrorText(int err);

class EventPoll {
public:
    EventPoll();
    ~EventPoll();
    EventPoll(const EventPoll &) = delete;
    EventPoll &operator=(const EventPoll &) = delete;
    bool ok() const { return poll_ >= 0 && wake_ >= 0; }

    // Watches a socket for reading, writing and its end, edge-triggered; events come with `tag`
    // (never 0, which stands for a wake-up). A closed descriptor leaves the poll by itself.
    bool watch(int fd, std::uint64_t tag);
    // Asks again: an event follows at once for what the socket is ready for now (an edge-
    // triggered watch otherwise tells only of changes), as a level-triggered watch would.
    void rearm(int fd, std::uint64_t tag);
    struct Event {
        std::uint64_t tag = 0;  // 0: woken
        bool readable = false;  // or ended, or failed
        bool writable = false;
    };
    // Waits at most timeoutMs (0: not at all) and fills at most `most` events; their count.
    int wait(Event *events, int most, int timeoutMs);
    // From any thread: the waiting wait() returns with a wake-up event.
    void wake();

private:
    int poll_ = -1;
    int wake_ = -1;
};

// The main thread's event loop waits in the sockets' own epoll set, one call into the kernel a turn
// (in place of Qt's wait and then the sockets' fetch). For a program without a display (offscreen or
// minimal platform); call before the application object is made.
void useLoopDispatcher();

// Descriptors this process has open; the tests count them before and after to find leaks.
int openDescriptorCount();
// Raises this process's limit on open descriptors to the most it may have: a relay needs two per
// client, and the usual soft limit of 1024 would refuse clients long before the slots run out.
void raiseDescriptorLimit();

}  // namespace common
