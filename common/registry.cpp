#include "common/registry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

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
    const QString path = registryFilePath();
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir)) return false;

    // The lock lives in a file of its own: the store itself is replaced on every write.
    const QByteArray lockPath = QFile::encodeName(path + ".lock");
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
        std::vector<RegistryEntry> entries = parseRegistryText(text);
        bool found = false;
        for (RegistryEntry &e : entries)
            if (e.key.compare(key, Qt::CaseInsensitive) == 0 &&
                e.name.compare(name, Qt::CaseInsensitive) == 0) {
                e.value = value;
                found = true;
            }
        if (!found) {
            // New values go after the last one of their key so that keys stay together.
            auto at = entries.end();
            for (auto it = entries.begin(); it != entries.end(); ++it)
                if (it->key.compare(key, Qt::CaseInsensitive) == 0) at = it + 1;
            entries.insert(at, RegistryEntry{key, name, value});
        }
        const QByteArray tmp = QFile::encodeName(path + ".tmp");
        int fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::fchmod(fd, 0600);
            bool written = writeFully(fd, formatRegistryText(entries)) && ::fsync(fd) == 0;
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
