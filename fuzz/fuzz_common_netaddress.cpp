// Address lists, host names and host:port texts, whatever they hold. A host that passes holds no
// blank or control byte and no port; a port that passes is in range; a list parses or says why.
#include "common/hostport.h"
#include "common/netaddress.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    for (bool names : {false, true}) {
        auto list = common::AddressList::parse(text, names);
        if (!list && list.why().empty()) std::abort();
        if (list) {
            if (auto a = common::NetAddress::parse("10.1.2.3")) (void)list->contains(*a);
            (void)list->namesHost(text);
        }
    }
    if (auto host = common::parseHost(text)) {
        for (unsigned char c : *host)
            if (c <= 0x20 || c == 0x7f || c == '/' || c == '[') std::abort();
    }
    if (auto hp = common::parseHostPort(text, 110)) {
        if (hp->port < 1 || hp->port > 65535 || hp->host.empty()) std::abort();
    }
    if (auto a = common::NetAddress::parse(text)) {
        if (!common::NetAddress::parse(a->text())) std::abort();
    }
    return 0;
}
