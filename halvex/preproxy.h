// The proxy window: listen port and upstream proxy, start/stop, counters, traces, the block list
// and the URL log. Its relay owns the two socket arrays, intern and extern_; what the relay does
// with a slot's bytes is halvex's Inspection.
#pragma once

#include <QTimer>
#include <QWidget>
#include <array>
#include <string>
#include <vector>

#include "common/relayshell.h"
#include "common/tls.h"
#include "common/servicestatus.h"
#include "common/statusserver.h"
#include "common/tracebox.h"
#include "common/tracetext.h"
#include "halvex/inspect.h"
#include "halvex/options.h"
#include "halvex/urllist.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace halvex {

class PreProxy : public QWidget, private common::RelayShell::Observer {
    Q_OBJECT
public:
    static constexpr int kMaxSlot = 1024;
    static constexpr int kMaxUrls = 10000;  // the URL log drops its oldest entries beyond this

    explicit PreProxy(QWidget *parent = nullptr);
    ~PreProxy() override;

    // Shows the counters and the URL log now (they are otherwise brought up to date within a
    // tenth and a quarter of a second).
    void showNow();

    // Listen address, who may connect and the limits, for the next start.
    void setOptions(const Options &options);
    // The settings read again (SIGHUP): who may connect, the limits, the boxes (the upstream for
    // the next connection) and the switches, for the connections to come; open ones go on. A new
    // listen port or address is opened before the old one closes. What cannot change while the
    // window is open (its face) is kept, and named.
    common::ReloadOutcome reload(const Options &options);
    bool running() const;

    void startlistening();
    void applyServerPolicy(int port);
    void disconnectall();
    void teardown();
    void releaseslot(int i);

    // Adds the entries of a block-list file (one host a line, or a hosts file) and stores the
    // list; false, and why, when the file cannot be read.
    bool importBlockList(const QString &path, QString *why = nullptr);
    // Where the block list is kept: beside the settings.
    static QString blockListFile();
    // Adds an entry to the block list as "add" does with it typed in the entry box.
    void addBlockEntry(const QString &entry);
    // Presses "start"; nothing happens while the proxy runs.
    void pressStart();
    // The listen port, the upstream proxy and the switches the command line gives, for this run:
    // shown in the window, never stored.
    void useCommandLine(const Options &options);

    // The relay's socket arrays: intern (element 0 listens, the others are clients) and extern_
    // (the matching connections to the upstream proxy), paired by slot index.
    const common::SocketArray &intern() const { return relay_.clients(); }
    const common::SocketArray &extern_() const { return relay_.servers(); }

    // The face with the traces (registry value debug missing, empty or 1), or the help text.
    bool debugMode() const { return debugMode_; }
    const std::string &cookieMarker() const { return settings_.cookiemarker; }
    const std::vector<std::string> &blockList() const { return settings_.block; }
    // HTTPS inspection: whether an authority is loaded, and the hosts passed uninspected.
    bool hasAuthority() const { return mint_ != nullptr; }
    const HttpsInspector &https() const { return https_; }
    // What the service manager shows: connections open, requests so far, refusals of the last
    // minute (clients closed at once, requests blocked or refused).
    common::ServiceFigures figures() const;
    // The connections and counts as the status page and the connections window show them.
    common::RelaySnapshot snapshot();

signals:
    // For the frame's status bar: its text panel ("" for none), and its counts panel.
    void statusText(const QString &text);
    void countsText(const QString &text);

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // Controls, by their design names.
    QLabel *Label1, *Label2, *Label3, *Label4, *peak, *sockets, *hilfe, *mode;
    QLabel *Label5, *opennow;  // connections open now, beside the design's counters
    QLineEdit *internport, *externproxy, *externport, *Text2;
    QPushButton *Command1, *Command2, *Command3, *addurl, *removeurl, *AutoFormat;
    QCheckBox *cookie, *blockme, *sendempty, *rpictures, *inspecthttps;
    QLabel *learnedhosts;  // how many hosts pass uninspected; the tooltip names them
    QListWidget *block;
    UrlList *urls;
    common::TraceBox *Text1, *interntrace, *externtrace;

    common::RelayShell relay_;
    common::StatusServer status_;
    common::AddressList statusAllow_ = *common::AddressList::parse(common::kLoopback);
    QString statusWhy_;  // why the status page could not be served where the options say
    bool debugMode_ = false;

    void buildControls();
    void load();
    void onStart();
    void onDisconnectAll();
    void onClear();

    // What the relay tells the window.
    void accepted(int slot) override;
    void connected(int slot) override;
    void relayed(int slot, common::Side from, std::string_view bytes, bool first) override;
    void released(int slot, const common::SlotStats &stats) override;
    void listenerFailed(const QString &why) override;
    void refusedClient(const QString &peer, const QString &why) override;

    void logUrl(int i, std::string_view target);
    void logRequest(int slot, const RequestRecord &request);
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
    void storeBlockList();
    void loadBlockList();  // the stored list, as its file holds it now
    void showMode();
    void loadAuthority(const Options &options);
    void showLearned();

    QString bind_;
    std::string allowClientsText_;
    std::uint64_t requests_ = 0;
    common::RecentCount refusals_;
    bool quiet_ = false;      // switches set from the command line: not stored
    bool keepBoxes_ = false;  // the boxes hold the command line's: start does not store them
    common::AddressList allowServers_;
    bool tornDown_ = false;
    ProxySettings settings_;
    HttpsInspector https_;
    std::shared_ptr<common::TlsMint> mint_;
    std::string caCert_, caKey_;  // the authority's files as last loaded
    // What each client sends is traced without its credentials.
    std::array<common::SecretMask, kMaxSlot + 1> masks_;
    std::array<common::AddressPasswordMask, kMaxSlot + 1> addressMasks_;
    int socketsValue_ = 0;
    int peakValue_ = 0;
    QTimer showTimer_;
    // The URL list, the request log, the traces and the help text where the design puts them,
    // and the height they are placed for; a lower window takes the difference from them.
    std::vector<QRect> design_;
    int designHeight_ = 0;
};

}  // namespace halvex
