#include "halvex/proxyconst.h"

#include <initializer_list>

namespace halvex {

namespace {

std::string lines(std::initializer_list<const char *> each) {
    std::string out;
    for (const char *line : each) {
        out += line;
        out += "\r\n";
    }
    return out;
}

}  // namespace

const std::string &htmlbody() {
    static const std::string body = lines(
        {"<html><head></head><body><center>Tessaruno does not allow this connection</center></body>"
         "</html>"});
    return body;
}

const std::string &htmlreply() {
    static const std::string reply =
        lines({"HTTP/1.1 200 OK", "Via: 1.0 GATE", "Connection: Close", "Proxy -Connection: Close",
               "Date: Sun, 17 Jun 2073 00:00:00 GMT", "Content-Type: text/html",
               "Server: Tessaruno", ""}) +
        htmlbody();
    return reply;
}

const std::string &gifreply() {
    static const std::string reply =
        lines({"HTTP/1.1 200 OK", "Via: 1.0 GATE", "Content-Length: 1", "Connection: Close",
               "Proxy -Connection: Close", "Date: Sun, 17 Jun 2073 00:00:00 GMT",
               "Content-Type: image/gif", "Server: Tessaruno", "", " "});
    return reply;
}

std::string statusreply(std::string_view status, std::string_view detail) {
    std::string shown;
    for (char c : detail) {
        switch (c) {
            case '&': shown += "&amp;"; break;
            case '<': shown += "&lt;"; break;
            case '>': shown += "&gt;"; break;
            case '"': shown += "&quot;"; break;
            default: shown += c;
        }
    }
    std::string title(status);
    const std::string body = "<html><head><title>" + title + "</title></head><body><h1>" + title +
                             "</h1><p>" + shown + "</p></body></html>\r\n";
    return "HTTP/1.1 " + title + "\r\nServer: Tessaruno\r\nContent-Type: text/html\r\n" +
           "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace halvex
