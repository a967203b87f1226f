// The settings file reader on arbitrary bytes: what it reads, written back and read again, is the
// same (so a value can never change by being stored again).
#include "common/registry.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto first = common::parseRegistryText(text);
    const auto again = common::parseRegistryText(common::formatRegistryText(first));
    if (first.size() != again.size()) std::abort();
    for (size_t k = 0; k < first.size(); ++k)
        if (first[k].key.compare(again[k].key, Qt::CaseInsensitive) != 0 ||
            first[k].name != again[k].name || first[k].value != again[k].value)
            std::abort();
    return 0;
}
