// The session window "quessel": the listener, the slots and the relay. It is opened hidden at
// start; all sockets of the program belong to it.
//
// A slot i holds the client's connection socki(i) and, once the client has logged in as
// USERNAME|SERVER, the server connection socke(i). A slot is free exactly when socki(i) does not
// exist.
#pragma once

#include <QString>
#include <QWidget>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/socketarray.h"
#include "quessel/loginline.h"
#include "quessel/options.h"

class QPlainTextEdit;
class QTimer;

namespace quessel {

// Slot indices are 16-bit, as mail clients and logs have always seen them.
inline constexpr int kMaxSlots = 32767;
// A side stops being read while its partner has more than this queued and unsent.
inline constexpr qint64 kMaxUnsent = 512 * 1024;
// After one side has ended, the other has this long to end too before the slot is released.
inline constexpr int kHalfCloseLingerMs = 60000;
// A client that has not logged in after this much silence is sent away (POP3 servers wait at
// least ten minutes).
inline constexpr int kLoginIdleSeconds = 600;
// How often slot deadlines are checked.
inline constexpr int kSweepMs = 250;

class SessionWindow : public QWidget {
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

    common::SocketArray *socki;  // client side; element 0 is the listener
    common::SocketArray *socke;  // server side; element i belongs to slot i
    QPlainTextEdit *Text1;       // client-side trace
    QPlainTextEdit *Text2;       // server-side trace
    bool tracing = false;
    int serverport = 110;

    // Number of slots in use.
    int slotCount() const { return socki->count() - 1; }

signals:
    // A line for the main window's status panel; "" once the listener is open.
    void listenerStatus(const QString &text);

private:
    struct Slot;

    void socki_ConnectionRequest(int index, qintptr requestID);
    void socki_DataArrival(int index);
    void socki_Close(int index);
    void socki_Error(int index, const QString &description);
    void socki_SendComplete(int index);
    void socke_Connect(int index);
    void socke_DataArrival(int index);
    void socke_Close(int index);
    void socke_Error(int index, const QString &description);
    void socke_SendComplete(int index);

    Slot *slotAt(int i) const;
    void releaseslot(int i);
    // Tells the client why its server cannot be used, then ends the slot.
    void refuse(int i, const std::string &reply);
    using Clock = std::chrono::steady_clock;
    void setDeadline(Slot &s, Clock::duration in);
    void startLinger(Slot &s);
    void sweep();
    void onDeadline(int i);
    void unload();

    void trace(int box, int i, std::string_view text);
    void flushTraces();

    Options options_;
    QString listenError_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::string traceTail_[2];
    QTimer *traceTimer_;
    QTimer *sweep_;  // runs while some slot has a deadline
};

}  // namespace quessel
