// Pages judged by what a reader sees: gzip, deflate (with and without its zlib wrapper) and br
// decoded whatever the chunks, the bytes sent on the server's own, a decoding that breaks judged
// on what decoded; and pictures known by their first bytes where their type says nothing.
#include <gtest/gtest.h>

#include <brotli/encode.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "halvex/decode.h"
#include "halvex/filters.h"
#include "halvex/inspect.h"
#include "halvex/proxyconst.h"

using namespace halvex;

namespace {

// windowBits as deflateInit2 takes them: 16 + 15 gzip, 15 zlib, -15 raw deflate.
std::string zipped(const std::string &text, int windowBits) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, uLong(text.size())) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    z.avail_in = uInt(text.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// gzip as the gzip tool writes it for a named file, with every optional header field (extra,
// name, comment, the header's own check).
std::string gzipFile(const std::string &text) {
    std::string h("\x1f\x8b\x08\x1e\0\0\0\0\0\x03", 10);
    h += std::string("\x04\0ab\0\0", 6) + "report.html" + '\0' + "the weekly one" + '\0';
    const uLong hcrc = crc32(0, reinterpret_cast<const Bytef *>(h.data()), uInt(h.size()));
    h += char(hcrc & 0xff);
    h += char((hcrc >> 8) & 0xff);
    std::string out = h + zipped(text, -MAX_WBITS);
    const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(text.data()), uInt(text.size()));
    for (uLong v : {crc, uLong(text.size())})
        for (int k = 0; k < 4; ++k) out += char((v >> (8 * k)) & 0xff);
    return out;
}

std::string brotlied(const std::string &text) {
    std::size_t size = BrotliEncoderMaxCompressedSize(text.size());
    std::string out(size, '\0');
    BrotliEncoderCompress(5, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_TEXT, text.size(),
                          reinterpret_cast<const uint8_t *>(text.data()), &size,
                          reinterpret_cast<uint8_t *>(out.data()));
    out.resize(size);
    return out;
}

std::string chunked(const std::string &body, std::size_t piece) {
    std::string out;
    for (std::size_t i = 0; i < body.size(); i += piece) {
        const std::string part = body.substr(i, piece);
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", part.size());
        out += size + part + "\r\n";
    }
    return out + "0\r\n\r\n";
}

// One slot with "Block (send empty)" and "Remove Pictures" on, ads.test blocked; what the client
// got for a request whose answer is `answer`, fed in pieces of `cut`.
struct Judged {
    std::string got;
    bool released = false;
    std::vector<std::string> reasons;
};
Judged judged(const std::string &answer, std::size_t cut) {
    ProxySettings settings;
    settings.upstreamHost = "proxy.test";
    settings.upstreamPort = 3128;
    settings.sendempty = settings.rpictures = true;
    settings.block = {"ads.test"};
    Judged j;
    settings.logrequest = [&j](int, const RequestRecord &r) { j.reasons.push_back(r.reason); };
    Inspection rules(settings, 1);
    common::RelayLimits limits;
    common::RelaySlot slot(rules, limits);
    auto step = [&](common::RelayEvent::Kind kind, common::Side side, std::string_view bytes) {
        common::RelayEvent e;
        e.kind = kind;
        e.side = side;
        e.bytes = bytes;
        e.room = 1 << 20;
        for (const auto &a : slot.step(e)) {
            if (a.kind == common::RelayAction::send && a.side == common::Side::client) j.got.append(a.bytes);
            if (a.kind == common::RelayAction::release) j.released = true;
        }
    };
    step(common::RelayEvent::accepted, common::Side::client, {});
    step(common::RelayEvent::data, common::Side::client, "GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n");
    step(common::RelayEvent::connected, common::Side::server, {});
    for (std::size_t i = 0; i < answer.size() && !j.released; i += cut)
        step(common::RelayEvent::data, common::Side::server, std::string_view(answer).substr(i, cut));
    if (!j.released) step(common::RelayEvent::ended, common::Side::server, {});
    rules.finish();
    return j;
}

const std::string kPage = "<html><body>" + std::string(3000, 'x') + " see ads.test here " +
                          std::string(3000, 'y') + "</body></html>";
const std::string kFine = "<html><body>" + std::string(6000, 'z') + "</body></html>";

std::string answer(std::string_view coding, const std::string &body, bool chunks) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
    if (!coding.empty()) head += "Content-Encoding: " + std::string(coding) + "\r\n";
    if (chunks) return head + "Transfer-Encoding: chunked\r\n\r\n" + chunked(body, 333);
    return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

TEST(Decode, ACodedPageIsJudgedByWhatItSaysHoweverItComes) {
    const struct {
        const char *coding;
        std::string (*code)(const std::string &);
    } codings[] = {
        {"", [](const std::string &t) { return t; }},
        {"gzip", [](const std::string &t) { return zipped(t, 16 + MAX_WBITS); }},
        {"gzip", [](const std::string &t) { return gzipFile(t); }},
        {"deflate", [](const std::string &t) { return zipped(t, MAX_WBITS); }},
        {"deflate", [](const std::string &t) { return zipped(t, -MAX_WBITS); }},  // unwrapped
        {"br", [](const std::string &t) { return brotlied(t); }},
    };
    for (const auto &c : codings) {
        for (bool chunks : {false, true}) {
            for (std::size_t cut : {std::size_t(1), std::size_t(7), std::size_t(100000)}) {
                SCOPED_TRACE(std::string(c.coding) + (chunks ? " chunked" : "") + " cut " + std::to_string(cut));
                // A page that mentions an entry: the canned page instead.
                const Judged bad = judged(answer(c.coding, c.code(kPage), chunks), cut);
                EXPECT_EQ(bad.got, std::string(cannedtext(Canned::page)));
                // One that does not: the server's own bytes, every one.
                const std::string fine = answer(c.coding, c.code(kFine), chunks);
                const Judged good = judged(fine, cut);
                EXPECT_EQ(good.got, fine);
            }
        }
    }
}

TEST(Decode, ABrokenCodingIsJudgedOnWhatDecodedAndSaysSo) {
    std::string early = "<html><body> see ads.test here ";
    std::uint32_t seed = 2463534242u;  // hardly compressible letters
    for (int i = 0; i < 3000; ++i) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        early += char('a' + seed % 26);
    }
    std::string coded = zipped(early, 16 + MAX_WBITS);
    // Cut inside the stream and spoilt: what decoded before the fault holds the entry.
    coded = coded.substr(0, coded.size() / 2) + std::string(64, '\xff');
    const Judged bad = judged(answer("gzip", coded, false), 1000);
    EXPECT_EQ(bad.got, std::string(cannedtext(Canned::page)));
    std::string broken = zipped(kFine, 16 + MAX_WBITS);
    broken[12] ^= 0x55;
    const std::string fine = answer("gzip", broken, false);
    const Judged good = judged(fine, 1000);
    EXPECT_EQ(good.got, fine);
    ASSERT_EQ(good.reasons.size(), 1u);
    EXPECT_NE(good.reasons[0].find("gzip body could not be decoded"), std::string::npos);
    // A coding halvex does not know is judged as it came.
    BodyDecoder zstd("zstd");
    EXPECT_FALSE(zstd.decodes());
}

TEST(Decode, APictureIsKnownByItsFirstBytesWhereItsTypeSaysNothing) {
    for (const std::string &start : {std::string("GIF89a\x01\x00", 8), std::string("\x89PNG\r\n\x1a\n", 8),
                                     std::string("\xff\xd8\xff\xe0", 4), std::string("RIFF\x10\0\0\0WEBPVP8 ", 16),
                                     std::string("\0\0\0\x1c" "ftypavif", 12)}) {
        for (const char *type : {"", "Content-Type: application/octet-stream\r\n"}) {
            const std::string a = std::string("HTTP/1.1 200 OK\r\n") + type + "Content-Length: " +
                                  std::to_string(start.size()) + "\r\n\r\n" + start;
            EXPECT_EQ(judged(a, 3).got, std::string(cannedtext(Canned::picture))) << type;
        }
    }
    const std::string text = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    EXPECT_EQ(judged(text, 2).got, text);
    EXPECT_FALSE(untypedPicture("text/plain", "GIF89a"));
}
