// Machine-wide string values at value paths such as "HKLM\SOFTWARE\Tessaruno\proxyport".
//
// regread: the value's text, or "" when it cannot be read for any reason. regwrite_sz: stores the
// text (empty text is a value too), creating whatever is missing; false on any failure. Neither ever
// throws and neither caches: every call reaches the store afresh.
//
// On Windows the store is the registry. Elsewhere it is one INI-style file,
// $XDG_CONFIG_HOME/tessaruno/registry.ini (~/.config/... when unset), mode 0600 since it holds a POP3
// password, replaced atomically under a lock so that two programs writing different values at the same
// moment both keep theirs. Names are matched without regard to case, as the registry does.
#pragma once

#include <QByteArray>
#include <QString>

#include <string>
#include <string_view>
#include <vector>

namespace common {

QString regread(const QString &pfad);
bool regwrite_sz(const QString &pfad, const QString &value);

// The key every value of the suite lives under, and one value of it by name.
inline const QString kRegistryKey = QStringLiteral("HKLM\\SOFTWARE\\Tessaruno\\");
std::string registryValue(std::string_view name);

// The file behind the store on systems without a registry (for tests and the README).
QString registryFilePath();

// Parses the store's file text into (key path, value name, value) entries; exposed for the fuzzer.
struct RegistryEntry {
    QString key;
    QString name;
    QString value;
};
std::vector<RegistryEntry> parseRegistryText(const QByteArray &text);
QByteArray formatRegistryText(const std::vector<RegistryEntry> &entries);

}  // namespace common
