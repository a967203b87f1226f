#include "morrent/message.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "common/asciitext.h"

namespace morrent {

namespace {

void initgmime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

// Owners for GMime's reference-counted objects and g_malloc'ed strings.
struct Unref {
    void operator()(gpointer p) const {
        if (p) g_object_unref(p);
    }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref>;
struct GFree {
    void operator()(gpointer p) const { g_free(p); }
};
using GText = std::unique_ptr<char, GFree>;

using common::equalNoCase;
using common::isBlank;

void collect(InternetAddressList *list, std::vector<std::string> &out) {
    if (!list) return;
    int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress *address = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
            const char *addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
            if (addr && *addr) out.emplace_back(addr);
        } else if (INTERNET_ADDRESS_IS_GROUP(address)) {
            collect(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out);
        }
    }
}

struct FirstText {
    std::string text;
    bool found = false;
};

void findtext(GMimeObject *, GMimeObject *part, gpointer data) {
    auto *first = static_cast<FirstText *>(data);
    if (first->found || !GMIME_IS_TEXT_PART(part)) return;
    GMimeContentType *type = g_mime_object_get_content_type(part);
    if (type && !g_mime_content_type_is_type(type, "text", "plain")) return;
    if (g_mime_part_is_attachment(GMIME_PART(part))) return;
    GText text(g_mime_text_part_get_text(GMIME_TEXT_PART(part)));
    if (text) first->text = text.get();
    first->found = true;
}

}  // namespace

MessageSummary readMessage(std::string_view raw) {
    initgmime();
    MessageSummary summary;
    raw = raw.substr(0, summaryLimit);
    Ref<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(raw.data(), raw.size()));
    Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    Ref<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!message) return summary;

    if (InternetAddressList *from = g_mime_message_get_from(message.get())) {
        GText text(internet_address_list_to_string(from, nullptr, FALSE));
        if (text) summary.from = text.get();
    }
    if (const char *subject = g_mime_message_get_subject(message.get())) summary.subject = subject;
    FirstText first;
    g_mime_message_foreach(message.get(), findtext, &first);
    if (!first.found) {
        // A message whose body is a single part: foreach visits only the parts below the body.
        GMimeObject *body = g_mime_message_get_body(message.get());
        if (body) findtext(nullptr, body, &first);
    }
    summary.body = std::move(first.text);
    return summary;
}

std::string_view headerBlock(std::string_view raw) {
    std::size_t pos = 0;
    while (pos < raw.size()) {
        if (raw[pos] == '\n' || raw.compare(pos, 2, "\r\n") == 0) return raw.substr(0, pos);
        std::size_t nl = raw.find('\n', pos);
        if (nl == std::string_view::npos) break;
        pos = nl + 1;
    }
    return raw;
}

std::vector<std::string> headerValues(std::string_view header, std::string_view name) {
    std::vector<std::string> values;
    std::string *current = nullptr;  // the field being read, while its continuation lines follow
    std::size_t pos = 0;
    while (pos < header.size()) {
        std::size_t nl = header.find('\n', pos);
        std::size_t end = nl == std::string_view::npos ? header.size() : nl + 1;
        std::string_view line = header.substr(pos, end - pos);
        pos = end;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        if (!line.empty() && isBlank(line[0])) {
            if (current) current->append(line);
            continue;
        }
        current = nullptr;
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view field = line.substr(0, colon);
        while (!field.empty() && isBlank(field.back())) field.remove_suffix(1);
        if (!equalNoCase(field, name)) continue;
        current = &values.emplace_back(line.substr(colon + 1));
    }
    for (auto &v : values) {
        std::size_t lead = 0;
        while (lead < v.size() && isBlank(v[lead])) ++lead;
        v.erase(0, lead);
    }
    return values;
}

std::vector<std::string> mailboxes(std::string_view value) {
    initgmime();
    std::vector<std::string> out;
    std::string text(value);  // GMime wants a terminated string
    Ref<InternetAddressList> list(internet_address_list_parse(nullptr, text.c_str()));
    collect(list.get(), out);
    return out;
}

Envelope envelopeOf(std::string_view raw) {
    Envelope envelope;
    std::string_view header = headerBlock(raw);

    auto returnpath = headerValues(header, "Return-Path");
    if (!returnpath.empty()) {
        // "<>" is the null sender: a bounce must not bounce again.
        auto found = mailboxes(returnpath.front());
        if (!found.empty()) envelope.sender = found.front();
    } else {
        for (const auto &from : headerValues(header, "From")) {
            auto found = mailboxes(from);
            if (!found.empty()) {
                envelope.sender = found.front();
                break;
            }
        }
    }

    for (const char *field : {"To", "Cc"}) {
        for (const auto &value : headerValues(header, field)) {
            for (auto &address : mailboxes(value)) {
                if (std::find(envelope.recipients.begin(), envelope.recipients.end(), address) ==
                    envelope.recipients.end())
                    envelope.recipients.push_back(std::move(address));
            }
        }
    }
    return envelope;
}

}  // namespace morrent
