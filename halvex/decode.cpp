#include "halvex/decode.h"

#include <brotli/decode.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstdint>

#include "common/asciitext.h"

namespace halvex {

// The inflater is ISA-L's (more than twice zlib's speed on text): its state holds the window and
// its tables, about 90 KiB, so it is made when a coded body starts and freed once enough is decoded.
struct BodyDecoder::Stream {
    std::unique_ptr<inflate_state> inflate;
    BrotliDecoderState *br = nullptr;
    ~Stream() {
        if (br) BrotliDecoderDestroyInstance(br);
    }
};

namespace {
constexpr std::size_t kNotYet = std::string_view::npos - 1;
constexpr std::size_t kNone = std::string_view::npos;
constexpr std::size_t kMostWrapper = 64 * 1024;  // a gzip header with its name and comment

unsigned byteAt(std::string_view b, std::size_t i) { return static_cast<unsigned char>(b[i]); }

// The length of the gzip header (RFC 1952) at the start of b; kNotYet while it is incomplete,
// kNone when b starts with none. Its check value is not read: the text is only judged.
std::size_t gzipHeader(std::string_view b) {
    static constexpr unsigned char magic[] = {0x1f, 0x8b, 8};
    for (std::size_t i = 0; i < 3 && i < b.size(); ++i)
        if (byteAt(b, i) != magic[i]) return kNone;
    if (b.size() < 10) return kNotYet;
    const unsigned flags = byteAt(b, 3);
    if (flags & 0xe0) return kNone;
    std::size_t at = 10;
    if (flags & 0x04) {  // extra field, with its length first
        if (b.size() < at + 2) return kNotYet;
        at += 2 + (byteAt(b, at) | byteAt(b, at + 1) << 8);
    }
    for (unsigned text : {0x08u, 0x10u}) {  // name, comment: up to a NUL each
        if (!(flags & text)) continue;
        if (at >= b.size()) return kNotYet;
        const std::size_t nul = b.find('\0', at);
        if (nul == kNone) return kNotYet;
        at = nul + 1;
    }
    if (flags & 0x02) at += 2;  // the header's check value
    return b.size() >= at ? at : kNotYet;
}

// deflate: the zlib wrapper, whose first 16 bits are a multiple of 31; some servers send the
// data without it, which its first two bytes tell however the body was cut. A preset dictionary
// (which halvex cannot have) is kNone.
std::size_t zlibHeader(std::string_view b) {
    if (b.size() < 2) return kNotYet;
    const bool wrapped = (byteAt(b, 0) & 0x0f) == 8 && (byteAt(b, 0) << 8 | byteAt(b, 1)) % 31 == 0;
    if (!wrapped) return 0;
    return byteAt(b, 1) & 0x20 ? kNone : 2;
}
}  // namespace

BodyDecoder::BodyDecoder(std::string_view coding) {
    const std::string_view c = common::trimBlanks(coding);
    if (common::equalNoCase(c, "gzip") || common::equalNoCase(c, "x-gzip"))
        kind_ = gzip;
    else if (common::equalNoCase(c, "deflate"))
        kind_ = deflate;
    else if (common::equalNoCase(c, "br"))
        kind_ = brotli;
    if (kind_ == identity) return;
    stream_ = std::make_unique<Stream>();
    if (kind_ == brotli) {
        stream_->br = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
        failed_ = stream_->br == nullptr;
        return;
    }
    stream_->inflate = std::make_unique<inflate_state>();
    isal_inflate_init(stream_->inflate.get());  // raw deflate: the wrapper is read here
}

BodyDecoder::~BodyDecoder() = default;
BodyDecoder::BodyDecoder(BodyDecoder &&) noexcept = default;
BodyDecoder &BodyDecoder::operator=(BodyDecoder &&) noexcept = default;

std::string_view BodyDecoder::coding() const {
    switch (kind_) {
        case gzip:
            return "gzip";
        case deflate:
            return "deflate";
        case brotli:
            return "br";
        case identity:
            break;
    }
    return "identity";
}

void BodyDecoder::feed(std::string_view data) {
    if (full() || data.empty()) return;
    if (kind_ == identity) {
        text_.append(data.substr(0, kMaxText - size_));
        size_ = text_.size();
        return;
    }
    // Decoded straight into the text, whose room is made once.
    if (text_.empty()) text_.resize(kMaxText);
    auto *out = reinterpret_cast<uint8_t *>(text_.data());
    if (kind_ == brotli) {
        auto *in = reinterpret_cast<const uint8_t *>(data.data());
        std::size_t inLeft = data.size();
        auto *next = out + size_;
        std::size_t outLeft = kMaxText - size_;
        const BrotliDecoderResult r =
            BrotliDecoderDecompressStream(stream_->br, &inLeft, &in, &outLeft, &next, nullptr);
        size_ = kMaxText - outLeft;
        if (r == BROTLI_DECODER_RESULT_ERROR) failed_ = true;
        if (r == BROTLI_DECODER_RESULT_SUCCESS) ended_ = true;
        if (full()) stream_.reset();
        return;
    }
    if (!unwrapped_) {
        // The wrapper mostly comes whole in the first piece; else its pieces are kept until it is.
        if (!wrapper_.empty()) {
            wrapper_.append(data);
            data = wrapper_;
        }
        const std::size_t n = kind_ == gzip ? gzipHeader(data) : zlibHeader(data);
        if (n == kNone || (n == kNotYet && data.size() > kMostWrapper)) {
            failed_ = true;
            stream_.reset();
            return;
        }
        if (n == kNotYet) {
            if (wrapper_.empty()) wrapper_.assign(data);
            return;
        }
        data.remove_prefix(n);
        unwrapped_ = true;
    }
    inflate_state &z = *stream_->inflate;
    z.next_in = reinterpret_cast<uint8_t *>(const_cast<char *>(data.data()));
    z.avail_in = std::uint32_t(data.size());
    z.next_out = out + size_;
    z.avail_out = std::uint32_t(kMaxText - size_);
    const int r = isal_inflate(&z);
    size_ = kMaxText - z.avail_out;
    std::string().swap(wrapper_);  // the inflater has taken what it needs of it
    if (r < 0)
        failed_ = true;
    else if (z.block_state == ISAL_BLOCK_FINISH)
        ended_ = true;
    if (full()) stream_.reset();
}

}  // namespace halvex
