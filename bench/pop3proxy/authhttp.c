/* The login-routing answer nginx's mail proxy asks for (its auth_http protocol), for the POP3
 * proxy benchmark.
 *
 *   authhttp PORT SERVER_PORT
 *
 * Listens on 127.0.0.1:PORT. Each request is one HTTP/1.0 GET whose Auth-User header holds
 * "user|server" (the same login that quessel and perdition route); the answer sends nginx to
 * server:SERVER_PORT as "user" with the password the client gave. A login without "|" is refused.
 * nginx opens a connection for every login and the answer closes it, as the protocol has it.
 *
 * One thread, blocking sockets with a time-out, one request at a time: each takes a few
 * microseconds, far less than the session it routes. Its CPU time is part of what nginx's login
 * routing costs, and the benchmark reports it beside nginx's own.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

/* The value of header `name` in the head `req` (NUL-terminated), copied into out; 0 if absent. */
static int header(const char *req, const char *name, char *out, size_t outlen) {
    size_t nlen = strlen(name);
    for (const char *line = strstr(req, "\r\n"); line; line = strstr(line, "\r\n")) {
        line += 2;
        if (strncasecmp(line, name, nlen) == 0 && line[nlen] == ':') {
            const char *v = line + nlen + 1;
            while (*v == ' ') v++;
            size_t n = strcspn(v, "\r\n");
            if (n >= outlen) return 0;
            memcpy(out, v, n);
            out[n] = 0;
            return 1;
        }
    }
    return 0;
}

static void answer(int fd, int server_port) {
    char req[8192];
    size_t len = 0;
    while (len < sizeof req - 1) {
        ssize_t k = recv(fd, req + len, sizeof req - 1 - len, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return;
        len += (size_t)k;
        req[len] = 0;
        if (strstr(req, "\r\n\r\n")) break;
    }
    char user[512], out[1024];
    char *bar;
    int n;
    struct in_addr addr;
    if (header(req, "Auth-User", user, sizeof user) && (bar = strchr(user, '|')) &&
        (*bar = 0, inet_pton(AF_INET, bar + 1, &addr) == 1)) {
        /* nginx wants the server as an address; the user name it logs in with is the part
         * before the bar. */
        n = snprintf(out, sizeof out,
                     "HTTP/1.0 200 OK\r\nAuth-Status: OK\r\nAuth-Server: %s\r\nAuth-Port: %d\r\n"
                     "Auth-User: %s\r\n\r\n",
                     bar + 1, server_port, user);
    } else {
        n = snprintf(out, sizeof out,
                     "HTTP/1.0 200 OK\r\nAuth-Status: Invalid login or password\r\n\r\n");
    }
    if (n > 0 && (size_t)n < sizeof out) send(fd, out, (size_t)n, MSG_NOSIGNAL);
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: authhttp PORT SERVER_PORT\n");
        return 2;
    }
    int port = atoi(argv[1]), server_port = atoi(argv[2]);
    if (port <= 0 || port > 65535 || server_port <= 0 || server_port > 65535) {
        fprintf(stderr, "authhttp: ports are 1..65535\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((unsigned short)port)};
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (bind(lfd, (struct sockaddr *)&a, sizeof a) != 0 || listen(lfd, 1024) != 0) {
        perror("authhttp: listen");
        return 1;
    }
    for (;;) {
        int fd = accept(lfd, NULL, NULL);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            perror("authhttp: accept");
            return 1;
        }
        struct timeval tv = {5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        answer(fd, server_port);
        close(fd);
    }
}
