#include "common/registry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <mutex>

#ifdef Q_OS_WIN
#include <QSettings>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace common {

namespace {

// "HKLM\SOFTWARE\Tessaruno\name" -> key "HKLM\SOFTWARE\Tessaruno", name "name".
bool splitPath(const QString &pfad, QString &key, QString &name) {
    int cut = pfad.lastIndexOf(QLatin1Char('\\'));
    if (cut <= 0 || cut == pfad.size() - 1) return false;
    key = pfad.left(cut);
    name = pfad.mid(cut + 1);
    return true;
}

// Values are single lines in the file: backslash, CR and LF are written as escapes.
QByteArray escape(const QString &s) {
    QByteArray out;
    const QByteArray utf8 = s.toUtf8();
    out.reserve(utf8.size());
    for (char c : utf8) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

QString unescape(QByteArrayView v) {
    QByteArray out;
    out.reserve(v.size());
    for (qsizetype i = 0; i < v.size(); ++i) {
        char c = v[i];
        if (c == '\\' && i + 1 < v.size()) {
            char n = v[++i];
            out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else {
            out += c;
        }
    }
    return QString::fromUtf8(out);
}

}  // namespace

std::vector<RegistryEntry> parseRegistryText(const QByteArray &text) {
    std::vector<RegistryEntry> entries;
    QString key;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r')) line.chop(1);
        if (line.isEmpty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
            key = QString::fromUtf8(line.sliced(1, line.size() - 2));
            continue;
        }
        qsizetype eq = line.indexOf('=');
        if (eq <= 0 || key.isEmpty()) continue;
        entries.push_back({key, unescape(line.first(eq)), unescape(line.sliced(eq + 1))});
    }
    return entries;
}

QByteArray formatRegistryText(const std::vector<RegistryEntry> &entries) {
    QByteArray out;
    QString key;
    for (const RegistryEntry &e : entries) {
        if (e.key.compare(key, Qt::CaseInsensitive) != 0 || out.isEmpty()) {
            if (!out.isEmpty()) out += '\n';
            out += '[' + e.key.toUtf8() + "]\n";
            key = e.key;
        }
        // A name holding "=" could not be read back; such names are never written.
        QByteArray name = escape(e.name);
        // A name must not make its line look like a comment or a key header.
        if (!name.isEmpty() && (name[0] == '[' || name[0] == ';' || name[0] == '#'))
            name.prepend('\\');
        out += name + '=' + escape(e.value) + '\n';
    }
    return out;
}

namespace {

bool sameName(const QString &a, const QString &b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// One line of the file and what it holds.
struct TextLine {
    qsizetype begin, end;  // the line without its line end
    qsizetype next;        // the start of the next line
};

std::vector<TextLine> linesOf(const QByteArray &text) {
    std::vector<TextLine> lines;
    qsizetype at = 0;
    while (at < text.size()) {
        qsizetype nl = text.indexOf('\n', at);
        const qsizetype next = nl < 0 ? text.size() : nl + 1;
        qsizetype end = nl < 0 ? text.size() : nl;
        if (end > at && text[end - 1] == '\r') --end;
        lines.push_back({at, end, next});
        at = next;
    }
    return lines;
}

}  // namespace

QByteArray updateRegistryText(const QByteArray &text, const QString &key, const QString &name,
                              const QString &value) {
    const std::vector<TextLine> lines = linesOf(text);
    const QByteArray eol = text.indexOf("\r\n") >= 0 ? QByteArray("\r\n") : QByteArray("\n");
    // The line as formatRegistryText writes it, without its key header.
    QByteArray entry = formatRegistryText({RegistryEntry{key, name, value}});
    entry = entry.sliced(entry.indexOf('\n') + 1);
    entry.chop(1);

    QString section;
    bool inKey = false;
    qsizetype after = -1;  // where a new value of the key goes: behind its last one or its header
    for (const TextLine &l : lines) {
        const QByteArray line = text.sliced(l.begin, l.end - l.begin);
        if (!line.isEmpty() && line.front() == '[' && line.back() == ']' && line.size() >= 2) {
            section = QString::fromUtf8(line.sliced(1, line.size() - 2));
            inKey = sameName(section, key);
            if (inKey) after = l.next;
            continue;
        }
        if (!inKey || line.isEmpty() || line.front() == ';' || line.front() == '#') continue;
        const std::vector<RegistryEntry> one = parseRegistryText("[k]\n" + line);
        if (one.empty()) continue;
        after = l.next;
        if (sameName(one.front().name, name))
            return text.first(l.begin) + entry + text.sliced(l.end);  // its line end stays
    }
    if (after >= 0) {
        QByteArray out = text.first(after);
        if (!out.isEmpty() && !out.endsWith('\n')) out += eol;
        return out + entry + eol + text.sliced(after);
    }
    QByteArray out = text;
    if (!out.isEmpty() && !out.endsWith('\n')) out += eol;
    if (!out.isEmpty() && !out.endsWith(eol + eol) && out != eol) out += eol;
    return out + '[' + key.toUtf8() + ']' + eol + entry + eol;
}

namespace {
std::mutex g_configLock;
std::optional<ConfigText> g_config;

// The value from the configuration file, when one is in use and the path is under the suite's key.
bool fromConfig(const QString &key, const QString &name, QString *value) {
    std::lock_guard<std::mutex> hold(g_configLock);
    if (!g_config || !sameName(key + '\\', kRegistryKey)) return false;
    if (value) {
        const QByteArray n = name.toUtf8();
        const std::string v = g_config->value(std::string_view(n.constData(), size_t(n.size())));
        *value = QString::fromUtf8(v.data(), qsizetype(v.size()));
    }
    return true;
}

bool toConfig(const QString &key, const QString &name, const QString &value) {
    std::lock_guard<std::mutex> hold(g_configLock);
    if (!g_config || !sameName(key + '\\', kRegistryKey)) return false;
    const std::string n = name.toLower().toStdString(), v = value.toStdString();
    for (ConfigValue &c : g_config->values)
        if (c.name == n) {
            c.value = v;
            return true;
        }
    g_config->values.push_back({n, v, 0});
    return true;
}
}  // namespace

void useConfigValues(std::optional<ConfigText> values) {
    std::lock_guard<std::mutex> hold(g_configLock);
    g_config = std::move(values);
}

bool usingConfigValues() {
    std::lock_guard<std::mutex> hold(g_configLock);
    return g_config.has_value();
}

std::string registryFileProblem() {
#ifdef Q_OS_WIN
    return {};
#else
    const QString path = registryFilePath();
    QFile f(path);
    if (!f.exists()) return {};
    if (!QFileInfo(f).isFile()) return "cannot read " + path.toStdString() + ": not a regular file";
    if (!f.open(QIODevice::ReadOnly)) return "cannot read " + path.toStdString() + ": " + f.errorString().toStdString();
    return {};
#endif
}

Result<ConfigText> readConfigFile(const std::string &path, const std::vector<std::string> &known) {
    QFile f(QString::fromStdString(path));
    const QFileInfo info(f);
    // A FIFO or a device would hold the start, or read as anything.
    if (info.exists() && !info.isFile()) return fail("cannot read " + path + ": not a regular file");
    if (!f.open(QIODevice::ReadOnly)) {
        const QString why = f.error() == QFileDevice::OpenError && !f.exists()
                                ? QStringLiteral("no such file")
                                : f.errorString();
        return fail("cannot read " + path + ": " + why.toStdString());
    }
    const QByteArray text = f.readAll();
    if (f.error() != QFileDevice::NoError)
        return fail("cannot read " + path + ": " + f.errorString().toStdString());
    return parseConfigText(std::string_view(text.constData(), size_t(text.size())), path, known);
}

QString registryFilePath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) base = QDir::homePath() + "/.config";
    return base + "/tessaruno/registry.ini";
}

#ifdef Q_OS_WIN

QString regread(const QString &pfad) {
    QString key, name;
    if (!splitPath(pfad, key, name)) return {};
    key.replace(QLatin1String("HKLM\\"), QLatin1String("HKEY_LOCAL_MACHINE\\"));
    QSettings s(key, QSettings::NativeFormat);
    return s.value(name).toString();
}

bool regwrite_sz(const QString &pfad, const QString &value) {
    QString key, name;
    if (!splitPath(pfad, key, name)) return false;
    key.replace(QLatin1String("HKLM\\"), QLatin1String("HKEY_LOCAL_MACHINE\\"));
    QSettings s(key, QSettings::NativeFormat);
    if (!s.isWritable()) return false;
    s.setValue(name, value);
    s.sync();
    return s.status() == QSettings::NoError;
}

#else

namespace {

bool readAll(const QString &path, QByteArray &out) {
    QFile f(path);
    if (!f.exists()) {
        out.clear();
        return true;
    }
    if (!f.open(QIODevice::ReadOnly)) return false;
    out = f.readAll();
    return f.error() == QFile::NoError;
}

// Where a write goes: the file itself, or what a symbolic link (or a chain of them) leads to,
// whether that exists yet or not.
QString storeTarget(const QString &path) {
    QString at = path;
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo info(at);
        if (!info.isSymLink()) return at;
        at = info.symLinkTarget();  // absolute, relative links resolved against their folder
    }
    return at;
}

bool writeFully(int fd, const QByteArray &data) {
    const char *p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= n;
    }
    return true;
}

}  // namespace

QString regread(const QString &pfad) {
    QString key, name;
    if (!splitPath(pfad, key, name)) return {};
    if (QString v; fromConfig(key, name, &v)) return v;
    QByteArray text;
    // The file is only ever replaced whole (rename), so a read needs no lock.
    if (!readAll(registryFilePath(), text)) return {};
    for (const RegistryEntry &e : parseRegistryText(text))
        if (e.key.compare(key, Qt::CaseInsensitive) == 0 &&
            e.name.compare(name, Qt::CaseInsensitive) == 0)
            return e.value;
    return {};
}

bool regwrite_sz(const QString &pfad, const QString &value) {
    QString key, name;
    if (!splitPath(pfad, key, name) || name.contains(QLatin1Char('=')) ||
        key.contains(QLatin1Char(']')) || key.contains(QLatin1Char('\n')))
        return false;
    if (toConfig(key, name, value)) return true;
    const QString link = registryFilePath();
    if (!QDir().mkpath(QFileInfo(link).absolutePath())) return false;
    // A store that is a link (to a file the admin keeps elsewhere) stays one: the file it points
    // to is replaced, in its own folder.
    const QString path = storeTarget(link);
    const QString dir = QFileInfo(path).absolutePath();

    // The lock lives in a file of its own: the store itself is replaced on every write.
    const QByteArray lockPath = QFile::encodeName(link + ".lock");
    int lock = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) return false;
    while (::flock(lock, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(lock);
            return false;
        }
    }
    bool ok = false;
    QByteArray text;
    if (readAll(path, text)) {
        const QByteArray tmp = QFile::encodeName(path + ".tmp");
        int fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::fchmod(fd, 0600);
            bool written = writeFully(fd, updateRegistryText(text, key, name, value)) && ::fsync(fd) == 0;
            ::close(fd);
            if (written && ::rename(tmp.constData(), QFile::encodeName(path).constData()) == 0) {
                ok = true;
                int d = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
                if (d >= 0) {
                    ::fsync(d);
                    ::close(d);
                }
            } else {
                ::unlink(tmp.constData());
            }
        }
    }
    ::flock(lock, LOCK_UN);
    ::close(lock);
    return ok;
}

#endif

std::string registryValue(std::string_view name) {
    const QByteArray bytes =
        regread(kRegistryKey + QString::fromUtf8(name.data(), qsizetype(name.size()))).toUtf8();
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

}  // namespace common
