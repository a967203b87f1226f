#include "common/statusserver.h"

#include "common/log.h"

namespace common {

namespace {

constexpr int kMaxReaders = 32;

// A reader's request head, gathered until it is whole; then the answer and the end.
class StatusRules : public RelayRules {
public:
    explicit StatusRules(const StatusServer::Source &source) : source_(source) {}
    Opening open(std::string_view bytes) override {
        Opening o;
        head_.append(bytes);
        if (!statusHeadComplete(head_)) return o;
        answer_ = statusAnswer(head_, source_());
        o.reply = answer_;
        o.close = true;
        return o;
    }
    Start connected() override { return {}; }

private:
    const StatusServer::Source &source_;
    std::string head_;
    std::string answer_;
};

}  // namespace

StatusServer::StatusServer(Source source, QObject *parent)
    : QObject(parent),
      source_(std::move(source)),
      shell_(QStringLiteral("statusreaders"), QStringLiteral("statusnone"), kMaxReaders,
             [this](int, const QString &) { return std::make_unique<StatusRules>(source_); }) {
    RelayLimits limits;
    limits.firstByte = 10000;  // a reader that says nothing, or too slowly, goes
    limits.login = 10000;
    limits.linger = 10000;
    shell_.setLimits(limits);
    shell_.setMaxPerClient(8);
    shell_.setObserver(this);
}

void StatusServer::refusedClient(const QString &peer, const QString &why) {
    LogLine(LogLevel::info, "status")
        .field("client", peer.toStdString())
        .field("outcome", "refused")
        .field("reason", why.toStdString());
}

QString StatusServer::apply(const HostPort &where, const AddressList &allowed) {
    shell_.setAllowedClients(allowed);
    if (where.port == 0) {
        if (listening()) stop();
        where_ = {};
        return {};
    }
    if (listening() && where.host == where_.host && where.port == where_.port) return {};
    QString why;
    const QString host = QString::fromStdString(where.host);
    if (!(listening() ? shell_.moveListener(host, where.port, &why) : shell_.listen(host, where.port, &why))) {
        why = QStringLiteral("cannot serve the status page on %1: %2")
                  .arg(QString::fromStdString(hostAndPort(where.host, where.port)), why);
        LogLine(LogLevel::error, "status").field("outcome", why.toStdString());
        return why;
    }
    where_ = where;
    LogLine(LogLevel::info, "status").field("address", hostAndPort(where.host, where.port)).field("outcome", "serving");
    return {};
}

void StatusServer::stop() {
    shell_.stopListening();
    shell_.releaseAll();
}

}  // namespace common
