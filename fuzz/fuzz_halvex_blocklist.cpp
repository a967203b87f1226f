// Block-list editing on arbitrary input: a script of operations, each one byte of opcode and
// selection followed by its text up to LF. The list never gets a blank entry and never two entries
// that differ only in case through "add".
#include "halvex/blocklist.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view in(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> block;
    while (!in.empty()) {
        const unsigned char op = static_cast<unsigned char>(in[0]);
        in.remove_prefix(1);
        size_t lf = in.find('\n');
        std::string_view text = in.substr(0, lf);
        in = lf == std::string_view::npos ? std::string_view() : in.substr(lf + 1);
        const int sel = block.empty() ? -1 : int(op >> 2) % int(block.size() + 1) - 1;
        switch (op & 3) {
            case 0: (void)halvex::addurl(block, text); break;
            case 1: (void)halvex::removeurl(block, sel); break;
            case 2: (void)halvex::autoformat(block, sel); break;
            case 3: (void)halvex::blockloggedurl(block, text); break;
        }
        for (const std::string &e : block)
            if (e.find_first_not_of(' ') == std::string::npos) std::abort();
    }
    return 0;
}
