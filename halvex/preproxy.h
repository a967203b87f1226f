// The proxy window: listen port and upstream proxy, start/stop, counters, traces, the block list
// and the URL log. It owns the two socket arrays: intern (element 0 listens, the others are
// clients) and extern_ (the matching connections to the upstream proxy), paired by slot index.
#pragma once

#include <QTimer>
#include <QWidget>
#include <array>
#include <string>
#include <vector>

#include "common/socketarray.h"
#include "common/tracetext.h"
#include "halvex/trace.h"
#include "halvex/urllist.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace halvex {

class MDIForm1;

class PreProxy : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxSlot = 1024;
    // Shows the counters and the URL log now (they are otherwise brought up to date within a
    // tenth and a quarter of a second).
    void showNow();
    static constexpr int kMaxUrls = 10000;  // the URL log drops its oldest entries beyond this

    explicit PreProxy(MDIForm1 *main, QWidget *parent = nullptr);
    ~PreProxy() override;

    // Listen address for the next start; empty means every interface.
    void setBindAddress(const QString &address) { bind_ = address; }
    bool running() const;

    void startlistening();
    void disconnectall();
    void teardown();
    void releaseslot(int i);

    // Controls, by their design names.
    QLabel *Label1, *Label2, *Label3, *Label4, *peak, *sockets, *hilfe;
    QLineEdit *internport, *externproxy, *externport, *Text2;
    QPushButton *Command1, *Command2, *Command3, *addurl, *removeurl, *AutoFormat;
    QCheckBox *cookie, *blockme, *sendempty, *rpictures;
    QListWidget *block;
    UrlList *urls;
    TraceBox *Text1, *interntrace, *externtrace;

    common::SocketArray intern{QStringLiteral("intern")};
    common::SocketArray extern_{QStringLiteral("extern")};

    int debugmode = 0;
    std::string cookiemarker;
    const std::vector<std::string> &blocklist() const { return block_; }

    // Per-slot tables, 0..1024.
    std::array<bool, kMaxSlot + 1> fresh{};
    std::array<std::string, kMaxSlot + 1> pending;
    std::array<QString, kMaxSlot + 1> clienthost;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void load();
    void onStart();
    void onDisconnectAll();
    void onClear();

    // Sockets
    void onConnectionRequest(int index, qintptr requestID);
    void onClientData(int i);
    void onUpstreamConnect(int i);
    void onUpstreamData(int i);
    void onClientClose(int i);
    void onUpstreamClose(int i);
    void onError(int i);
    void onSendComplete(common::SocketArray &drained, int i);
    void holdback(common::Socket &source, common::Socket &sink);

    // One request chunk in proxy form: logged and filtered in place; true when it is to be dropped
    // with its connection (a block-list entry matched).
    bool inspectrequest(int i, std::string &text, const std::string &target);
    void logurl(int i, const std::string &target);
    void sendupstream(int i, std::string_view data);
    void raisepeak(int i);
    void showLater();
    void showCounters();

    // Filter switches and the block list
    void onCookieClick(bool ticked);
    void onSwitchClick(const char *value, bool ticked);
    void onAddUrl();
    void onBlockClick();
    void onRemoveUrl();
    void onAutoFormat();
    void onUrlsDoubleClick(const QString &logged);
    void showBlockList(int select);

    MDIForm1 *main_;
    QString bind_;
    bool tornDown_ = false;
    std::vector<std::string> block_;
    bool fCookie_ = false, fBlockme_ = false, fSendempty_ = false, fRpictures_ = false;

    // What each slot needs beyond the tables above.
    struct SlotState {
        bool clientDone = false;
        bool upstreamDone = false;
        bool moved = false;   // data passed since the last sweep
        int quietSweeps = 0;  // sweeps in a row without data since one side ended
        // What the client sends is traced without its credentials.
        common::SecretMask mask = common::httpClientMask();
    };
    // A slot whose one side has ended and whose other side stays silent is released after this
    // long: a client that closed completely looks the same as one that only half-closed, and an
    // upstream that never answers must not hold it forever.
    void sweepHalfClosed();
    QTimer sweepTimer_;
    int halfCloseSweeps_ = 12;
    std::array<SlotState, kMaxSlot + 1> slot_;
    std::string scratch_;
    int socketsValue_ = 0;
    int peakValue_ = 0;
    QTimer showTimer_;
};

}  // namespace halvex
