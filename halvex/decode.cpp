#include "halvex/decode.h"

#include <brotli/decode.h>
#include <zlib.h>

#include <algorithm>

#include "common/asciitext.h"

namespace halvex {

struct BodyDecoder::Stream {
    z_stream z{};
    bool zOpen = false;
    BrotliDecoderState *br = nullptr;
    ~Stream() {
        if (zOpen) inflateEnd(&z);
        if (br) BrotliDecoderDestroyInstance(br);
    }
};

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
    // gzip: the gzip wrapper; deflate: the zlib wrapper, or (told by its first bytes) none.
    stream_->zOpen = inflateInit2(&stream_->z, kind_ == gzip ? 16 + MAX_WBITS : MAX_WBITS) == Z_OK;
    failed_ = !stream_->zOpen;
    // The text is only read, never passed on (the server's own bytes are), so its check value is
    // not worth computing: a stream that breaks is judged on what decoded all the same.
    if (stream_->zOpen) inflateValidate(&stream_->z, 0);
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
        text_.append(data.substr(0, kMaxText - text_.size()));
        return;
    }
    char out[16 * 1024];
    if (kind_ == brotli) {
        auto *in = reinterpret_cast<const uint8_t *>(data.data());
        std::size_t inLeft = data.size();
        while (!full()) {
            auto *next = reinterpret_cast<uint8_t *>(out);
            std::size_t outLeft = sizeof out;
            const BrotliDecoderResult r =
                BrotliDecoderDecompressStream(stream_->br, &inLeft, &in, &outLeft, &next, nullptr);
            text_.append(out, std::min(sizeof out - outLeft, kMaxText - text_.size()));
            if (r == BROTLI_DECODER_RESULT_ERROR) failed_ = true;
            if (r == BROTLI_DECODER_RESULT_SUCCESS) ended_ = true;
            if (r != BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT) return;
        }
        return;
    }
    z_stream &z = stream_->z;
    std::string joined;
    if (kind_ == deflate && z.total_in == 0 && !rawDeflate_ && !told_) {
        // A zlib stream begins with a header whose first 16 bits are a multiple of 31: its first
        // two bytes tell, however the body was cut.
        if (first_.size() + data.size() < 2) {
            first_.append(data);
            return;
        }
        joined = first_ + std::string(data);
        data = joined;
        first_.clear();
        told_ = true;
        const bool wrapped =
            (static_cast<unsigned char>(data[0]) & 0x0f) == 8 &&
            ((static_cast<unsigned char>(data[0]) << 8) | static_cast<unsigned char>(data[1])) %
                    31 ==
                0;
        if (!wrapped) {
            inflateEnd(&z);
            z = z_stream{};
            stream_->zOpen = inflateInit2(&z, -MAX_WBITS) == Z_OK;
            rawDeflate_ = true;
            if (!stream_->zOpen) {
                failed_ = true;
                return;
            }
        }
    }
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = uInt(data.size());
    while (!full()) {
        z.next_out = reinterpret_cast<Bytef *>(out);
        z.avail_out = sizeof out;
        const int r = inflate(&z, Z_NO_FLUSH);
        text_.append(out, std::min(sizeof out - z.avail_out, kMaxText - text_.size()));
        if (r == Z_STREAM_END)
            ended_ = true;
        else if (r != Z_OK && r != Z_BUF_ERROR)
            failed_ = true;
        if (r != Z_OK || (z.avail_in == 0 && z.avail_out != 0)) return;
    }
}

}  // namespace halvex
