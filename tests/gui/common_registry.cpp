// The machine-wide value store on its file: reading, writing, failures and concurrent writers.
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>

#include "common/registry.h"

using common::regread;
using common::regwrite_sz;

namespace {

const QString kKey = QStringLiteral("HKLM\\SOFTWARE\\Tessaruno\\");

QString value(const QString &name) {
    return kKey + name;
}

QByteArray fileBytes() {
    QFile f(common::registryFilePath());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}

int entriesNamed(const QString &name) {
    int n = 0;
    for (const auto &e : common::parseRegistryText(fileBytes()))
        if (e.name.compare(name, Qt::CaseInsensitive) == 0) ++n;
    return n;
}

// A second program writing its own values while the first writes others.
int writeValues(const QString &prefix, int count) {
    for (int j = 0; j < count; ++j)
        if (!regwrite_sz(value(prefix + QString::number(j)), prefix + ':' + QString::number(j)))
            return 1;
    return 0;
}

}  // namespace

class RegistryTest : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    int homes_ = 0;
    QString home_;

private slots:
    // Every test starts with its own configuration folder, not yet created.
    void init() {
        home_ = tmp_.filePath(QString::number(++homes_));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home_));
    }
    void missingReadsEmpty();
    void valuesRoundTrip_data();
    void valuesRoundTrip();
    void namesIgnoreCase();
    void writeCreatesKeys();
    void badPaths_data();
    void badPaths();
    void unwritable_data();
    void unwritable();
    void readsAfresh();
    void fileMode();
    void concurrentWriters();
    void keepsTheAdminsLines();
    void writesThroughALink();
};

void RegistryTest::missingReadsEmpty() {
    QCOMPARE(regread(value("proxyport")), QString());  // no store at all
    QVERIFY(regwrite_sz(value("proxyip"), "10.0.0.1"));
    QCOMPARE(regread(value("proxyport")), QString());  // store, but not this value
    QCOMPARE(regread("HKLM\\SOFTWARE\\Elsewhere\\proxyip"), QString());
}

void RegistryTest::valuesRoundTrip_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << "8080";
    QTest::newRow("empty text is a value") << "";
    QTest::newRow("line break") << "one\ntwo";
    QTest::newRow("CR LF") << "one\r\ntwo\r\n";
    QTest::newRow("backslashes") << "C:\\temp\\";
    QTest::newRow("looks escaped") << "\\n\\r\\\\";
    QTest::newRow("equals signs") << "a=b=c";
    QTest::newRow("looks like a key") << "[HKLM\\SOFTWARE]";
    QTest::newRow("looks like a comment") << "; # not a comment";
    QTest::newRow("outer blanks") << "  padded  ";
    QTest::newRow("non-ASCII") << QStringLiteral("Gr\u00fc\u00dfe \u20ac");
}

void RegistryTest::valuesRoundTrip() {
    QFETCH(QString, text);
    QVERIFY(regwrite_sz(value("before"), "neighbour"));
    QVERIFY(regwrite_sz(value("v"), "old"));
    QVERIFY(regwrite_sz(value("after"), "neighbour"));
    QVERIFY(regwrite_sz(value("v"), text));
    QCOMPARE(regread(value("v")), text);
    QCOMPARE(entriesNamed("v"), 1);  // replaced, neither deleted nor doubled
    QCOMPARE(regread(value("before")), QStringLiteral("neighbour"));
    QCOMPARE(regread(value("after")), QStringLiteral("neighbour"));
}

void RegistryTest::namesIgnoreCase() {
    QVERIFY(regwrite_sz(value("ProxyPort"), "1"));
    QCOMPARE(regread("hklm\\software\\tessaruno\\proxyport"), QStringLiteral("1"));
    QVERIFY(regwrite_sz("HKLM\\Software\\TESSARUNO\\PROXYPORT", "2"));
    QCOMPARE(regread(value("ProxyPort")), QStringLiteral("2"));
    QCOMPARE(entriesNamed("proxyport"), 1);
}

void RegistryTest::writeCreatesKeys() {
    QVERIFY(!QFileInfo::exists(home_));
    QVERIFY(regwrite_sz(value("cookie"), "on"));
    QVERIFY(QFileInfo::exists(common::registryFilePath()));
    // A deeper key is a key of its own.
    QVERIFY(regwrite_sz(value("sub\\cookie"), "deeper"));
    QCOMPARE(regread(value("cookie")), QStringLiteral("on"));
    QCOMPARE(regread(value("sub\\cookie")), QStringLiteral("deeper"));
}

void RegistryTest::badPaths_data() {
    QTest::addColumn<QString>("path");
    QTest::newRow("empty") << "";
    QTest::newRow("no key") << "proxyport";
    QTest::newRow("no value name") << kKey;
    QTest::newRow("only a value name") << "\\proxyport";
    QTest::newRow("equals sign in the name") << value("a=b");
}

void RegistryTest::badPaths() {
    QFETCH(QString, path);
    QVERIFY(regwrite_sz(value("kept"), "yes"));
    const QByteArray before = fileBytes();
    QVERIFY(!regwrite_sz(path, "x"));
    QCOMPARE(regread(path), QString());
    QCOMPARE(fileBytes(), before);
}

void RegistryTest::unwritable_data() {
    QTest::addColumn<QString>("blocker");
    // Tests may run as root, where permissions stop nothing: block the paths by what they are.
    QTest::newRow("configuration folder is a file") << "home";
    QTest::newRow("store is a folder") << "registry.ini";
    QTest::newRow("temporary file is a folder") << "registry.ini.tmp";
    QTest::newRow("lock file is a folder") << "registry.ini.lock";
}

void RegistryTest::unwritable() {
    QFETCH(QString, blocker);
    const QString dir = home_ + "/tessaruno";
    if (blocker == QLatin1String("home")) {
        QFile f(home_);
        QVERIFY(f.open(QIODevice::WriteOnly));
    } else {
        if (blocker != QLatin1String("registry.ini")) QVERIFY(regwrite_sz(value("kept"), "yes"));
        QFile::remove(dir + '/' + blocker);  // the lock file stays after a write
        QVERIFY(QDir().mkpath(dir + '/' + blocker));
    }
    const QByteArray before = fileBytes();
    QVERIFY(!regwrite_sz(value("kept"), "changed"));
    QVERIFY(!regwrite_sz(value("new"), "value"));
    QCOMPARE(fileBytes(), before);
    QCOMPARE(regread(value("new")), QString());
    if (blocker.startsWith(QLatin1String("registry.ini.")))
        QCOMPARE(regread(value("kept")), QStringLiteral("yes"));
}

// Nothing is cached: a change made by another program is seen by the next read.
void RegistryTest::readsAfresh() {
    QVERIFY(regwrite_sz(value("proxyport"), "1"));
    QCOMPARE(regread(value("proxyport")), QStringLiteral("1"));
    QFile f(common::registryFilePath());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("[HKLM\\SOFTWARE\\Tessaruno]\r\nproxyport=2\r\n");
    f.close();
    QCOMPARE(regread(value("proxyport")), QStringLiteral("2"));
}

// The store holds a POP3 password: only its owner may read it, also after a write to a store
// that someone made readable.
void RegistryTest::fileMode() {
    QVERIFY(regwrite_sz(value("poppasswd"), "secret"));
    const QByteArray path = QFile::encodeName(common::registryFilePath());
    struct stat st {};
    QCOMPARE(::stat(path.constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));
    QCOMPARE(::chmod(path.constData(), 0644), 0);
    QVERIFY(regwrite_sz(value("popuser"), "me"));
    QCOMPARE(::stat(path.constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));
    QCOMPARE(regread(value("poppasswd")), QStringLiteral("secret"));
}

// Programs writing different values at the same moment all keep theirs.
void RegistryTest::concurrentWriters() {
    constexpr int kWriters = 4, kEach = 40;
    QVERIFY(regwrite_sz(value("existing"), "kept"));
    std::vector<std::unique_ptr<QProcess>> writers;
    for (int w = 0; w < kWriters; ++w) {
        auto p = std::make_unique<QProcess>();
        p->start(QCoreApplication::applicationFilePath(),
                 {"--write-values", QStringLiteral("w%1_").arg(w), QString::number(kEach)});
        writers.push_back(std::move(p));
    }
    for (auto &p : writers) {
        QVERIFY(p->waitForFinished(60000));
        QCOMPARE(p->exitStatus(), QProcess::NormalExit);
        QCOMPARE(p->exitCode(), 0);
    }
    for (int w = 0; w < kWriters; ++w)
        for (int j = 0; j < kEach; ++j) {
            const QString prefix = QStringLiteral("w%1_").arg(w);
            QCOMPARE(regread(value(prefix + QString::number(j))),
                     prefix + ':' + QString::number(j));
        }
    QCOMPARE(regread(value("existing")), QStringLiteral("kept"));
}

// A hand-kept store keeps its comments and order when a program stores a value.
void RegistryTest::keepsTheAdminsLines() {
    QVERIFY(QDir().mkpath(home_ + "/tessaruno"));
    const QByteArray text = "# kept by the admin\n[HKLM\\SOFTWARE\\Tessaruno]\n\n# port\nplistenport=8080\nmine=1\n";
    QFile f(common::registryFilePath());
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
    f.close();
    QVERIFY(regwrite_sz(value("plistenport"), "8081"));
    QByteArray expected = text;
    expected.replace("8080", "8081");
    QCOMPARE(fileBytes(), expected);
}

// A store that is a link to a file kept elsewhere stays a link, and that file holds the write.
void RegistryTest::writesThroughALink() {
    QVERIFY(QDir().mkpath(home_ + "/tessaruno"));
    const QString elsewhere = home_ + "/etc";
    QVERIFY(QDir().mkpath(elsewhere));
    const QString target = elsewhere + "/tessaruno.ini";
    QFile f(target);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[HKLM\\SOFTWARE\\Tessaruno]\n# mine\nproxyip=a\n");
    f.close();
    QVERIFY(QFile::link("../etc/tessaruno.ini", common::registryFilePath()));  // relative link
    QVERIFY(regwrite_sz(value("proxyip"), "b"));
    QVERIFY(QFileInfo(common::registryFilePath()).isSymLink());
    QFile t(target);
    QVERIFY(t.open(QIODevice::ReadOnly));
    QCOMPARE(t.readAll(), QByteArray("[HKLM\\SOFTWARE\\Tessaruno]\n# mine\nproxyip=b\n"));
    QCOMPARE(regread(value("proxyip")), QStringLiteral("b"));
    QVERIFY(!QFileInfo::exists(elsewhere + "/tessaruno.ini.tmp"));
    // A link to a file not there yet makes that file.
    QVERIFY(QFile::remove(target));
    QVERIFY(regwrite_sz(value("proxyip"), "c"));
    QVERIFY(QFileInfo(common::registryFilePath()).isSymLink());
    QVERIFY(QFileInfo::exists(target));
    QCOMPARE(regread(value("proxyip")), QStringLiteral("c"));
}

int main(int argc, char **argv) {
    if (argc == 4 && qstrcmp(argv[1], "--write-values") == 0)
        return writeValues(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));
    QCoreApplication app(argc, argv);
    RegistryTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "common_registry.moc"
