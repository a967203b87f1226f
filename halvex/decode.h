// The start of a response body as a reader sees it, for the filters that judge a page by what it
// says: gzip, deflate and br (RFC 9110's content codings, brotli from RFC 7932) decoded up to
// 64 KiB, identity as it is. Only judged, never sent: the bytes sent on are the server's own.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace halvex {

class BodyDecoder {
public:
    // The decoded text judged at most.
    static constexpr std::size_t kMaxText = 64 * 1024;

    // `coding`: the Content-Encoding's value ("" for none). A coding it does not know (or a
    // list of them) is judged as it is.
    explicit BodyDecoder(std::string_view coding = {});
    ~BodyDecoder();
    BodyDecoder(BodyDecoder &&) noexcept;
    BodyDecoder &operator=(BodyDecoder &&) noexcept;

    // The body's next bytes (its data: chunk framing already gone).
    void feed(std::string_view data);
    std::string_view text() const { return {text_.data(), size_}; }
    // Enough is decoded to judge, or nothing more can be.
    bool full() const { return size_ >= kMaxText || failed_ || ended_; }
    // Whether the body is decoded at all (a coding it knows), and whether its decoding broke.
    bool decodes() const { return kind_ != identity; }
    bool failed() const { return failed_; }
    std::string_view coding() const;

private:
    enum Kind { identity, gzip, deflate, brotli };
    struct Stream;
    Kind kind_ = identity;
    bool failed_ = false;
    bool ended_ = false;
    // The wrapper (gzip's header, zlib's two bytes) is read here, the deflate data after it by
    // the inflater: until the wrapper is whole, its bytes so far.
    bool unwrapped_ = false;
    std::string wrapper_;
    // Decoded bodies are written into it, made whole (kMaxText) once; identity grows it.
    std::string text_;
    std::size_t size_ = 0;
    std::unique_ptr<Stream> stream_;
};

}  // namespace halvex
