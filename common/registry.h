// Machine-wide string values at value paths such as "HKLM\SOFTWARE\Tessaruno\proxyport".
//
// regread: the value's text, or "" when it cannot be read for any reason. regwrite_sz: stores the
// text (empty text is a value too), creating whatever is missing; false on any failure. Neither ever
// throws and neither caches: every call reaches the store afresh.
//
// On Windows the store is the registry. Elsewhere it is one INI-style file,
// $XDG_CONFIG_HOME/tessaruno/registry.ini (~/.config/... when unset), mode 0600 since it holds a POP3
// password, replaced atomically under a lock so that two programs writing different values at the same
// moment both keep theirs. A write changes its value's line and nothing else of the file (an admin's
// comments, blank lines, order and other values stay), and a store that is a symbolic link stays
// one: the file it leads to is replaced. Names are matched without regard to case, as the registry
// does.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/conffile.h"
#include "common/result.h"

namespace common {

QString regread(const QString &pfad);
bool regwrite_sz(const QString &pfad, const QString &value);

// The key every value of the suite lives under, and one value of it by name.
inline const QString kRegistryKey = QStringLiteral("HKLM\\SOFTWARE\\Tessaruno\\");
std::string registryValue(std::string_view name);

// A configuration file given for this run (--config FILE) stands in for the store: regread of the
// suite's key answers from its values, and regwrite_sz changes only this run's copy: the file is
// the admin's and a program never writes it. nullopt goes back to the store.
void useConfigValues(std::optional<ConfigText> values);
bool usingConfigValues();
// Reads FILE; fails with one line naming it ("cannot read FILE: Permission denied") when it cannot
// be read, so that a file the service may not read is never taken for an empty one.
Result<ConfigText> readConfigFile(const std::string &path, const std::vector<std::string> &known);

// "" when the store's file can be read (or is not there yet), else one line naming it: a store
// the program may not read would otherwise read as empty.
std::string registryFileProblem();

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
// The file text with one value set: its line changed in place, or a new line after the key's
// last value (a new key at the end); every other line, comments and blank lines included, stays
// as it was, byte for byte.
QByteArray updateRegistryText(const QByteArray &text, const QString &key, const QString &name,
                              const QString &value);

}  // namespace common
