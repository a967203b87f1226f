/*
 * Traffic source and sink for the relay benchmark, in one thread and one process, so that on a
 * small machine it takes at most one core and leaves the other to the relay being measured.
 *
 * It listens on 127.0.0.1 (the sink, or in slow mode the server that sends), prints
 * "listening PORT", then reads "HOST PORT" from stdin: the relay's listen address (or its own
 * port, for a run with no relay). Results go to stdout as one line of "key value" pairs.
 *
 * --port P makes it listen on port P (a benchmark's port range) instead of one the kernel picks.
 *
 *   loadgen bulk --streams N --bytes B [--timeout S] [--verify] [--connect]
 *       N connections each send B bytes to the target; the sink counts what arrives. The time
 *       runs from the first connect to the last expected byte at the sink. The sink discards
 *       data in the kernel (MSG_TRUNC) unless --verify, which checks every byte instead. With
 *       --connect the target is an HTTP proxy: each connection first asks it for a tunnel to
 *       the sink (CONNECT) and sends its bytes once the proxy has answered 200.
 *   loadgen slow --bytes B --rate R [--seconds S]
 *       One connection: the server side sends B bytes as fast as the target takes them, the
 *       client reads at R bytes a second, for at most S seconds. Reports what was sent and read,
 *       so sent - read is what the relay and the kernel buffers hold.
 *
 * Sent data is a repeating pattern (offset % 251), so a relay that drops, repeats or reorders
 * bytes fails --verify.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define PERIOD 251
#define SEND_CHUNK (256 * 1024)
#define RECV_CHUNK (1024 * 1024)
#define MAX_EVENTS 256

enum kind { LISTENER, SOURCE, SINK };

struct conn {
    enum kind kind;
    int fd;
    int connected;
    int tunnel;      /* --connect: 1 while the proxy's answer is awaited */
    size_t answered; /* bytes of that answer so far */
    char answer[512];
    uint64_t offset; /* bytes sent (source) or received (sink) */
};

static unsigned char pattern[RECV_CHUNK + PERIOD];
static unsigned char rbuf[RECV_CHUNK];

static void die(const char *what) {
    fprintf(stderr, "loadgen: %s: %s\n", what, strerror(errno));
    exit(1);
}

static void fail(const char *what) {
    fprintf(stderr, "loadgen: %s\n", what);
    exit(1);
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static double cpu_seconds(void) {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec / 1e6;
}

static void nonblocking(int fd) {
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) < 0) die("fcntl");
}

static int listen_port; /* --port; 0: the kernel picks one */

static int listen_loopback(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) die("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((uint16_t)listen_port)};
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr *)&a, sizeof a) < 0) die("bind");
    if (listen(fd, 4096) < 0) die("listen");
    socklen_t len = sizeof a;
    if (getsockname(fd, (struct sockaddr *)&a, &len) < 0) die("getsockname");
    *port = ntohs(a.sin_port);
    nonblocking(fd);
    return fd;
}

/* Prints the listening port and reads the target address from stdin. */
static struct sockaddr_in announce_and_read_target(int port) {
    printf("listening %d\n", port);
    fflush(stdout);
    char host[64];
    int tport;
    char line[128];
    if (!fgets(line, sizeof line, stdin)) fail("no target on stdin");
    if (sscanf(line, "%63s %d", host, &tport) != 2 || tport <= 0 || tport > 65535)
        fail("target line must be HOST PORT");
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((uint16_t)tport)};
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1) fail("target host must be an IPv4 address");
    return a;
}

static int start_connect(const struct sockaddr_in *to) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) die("socket");
    nonblocking(fd);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, (const struct sockaddr *)to, sizeof *to) < 0 && errno != EINPROGRESS)
        die("connect");
    return fd;
}

static int connect_error(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
    return err;
}

static void watch(int ep, struct conn *c, uint32_t events, int op) {
    struct epoll_event ev = {.events = events, .data.ptr = c};
    if (epoll_ctl(ep, op, c->fd, &ev) < 0) die("epoll_ctl");
}

static uint64_t parse_count(const char *s) {
    char *end;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 10);
    if (errno || *end || end == s) fail("bad number");
    return v;
}

/* ---- bulk: N streams of B bytes ---- */

/* --connect: asks the proxy for a tunnel to the sink; 1 once it is there, 0 while waiting. */
static int tunnel_ready(int ep, struct conn *c, int sinkport) {
    if (c->tunnel == 0) {
        char ask[128];
        int n = snprintf(ask, sizeof ask, "CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n",
                         sinkport, sinkport);
        if (send(c->fd, ask, (size_t)n, MSG_NOSIGNAL) != n) die("send CONNECT");
        c->tunnel = 1;
        watch(ep, c, EPOLLIN, EPOLL_CTL_MOD);
        return 0;
    }
    ssize_t r = recv(c->fd, c->answer + c->answered, sizeof c->answer - 1 - c->answered, 0);
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    if (r <= 0) fail("the proxy closed instead of answering CONNECT");
    c->answered += (size_t)r;
    c->answer[c->answered] = 0;
    char *end = strstr(c->answer, "\r\n\r\n");
    if (!end) {
        if (c->answered == sizeof c->answer - 1) fail("the proxy's answer to CONNECT is too long");
        return 0;
    }
    if (strncmp(c->answer, "HTTP/1.1 200", 12) && strncmp(c->answer, "HTTP/1.0 200", 12))
        fail("the proxy refused CONNECT");
    if ((size_t)(end + 4 - c->answer) != c->answered) fail("bytes after the proxy's answer");
    c->tunnel = 2;
    watch(ep, c, EPOLLOUT, EPOLL_CTL_MOD);
    return 1;
}

static int run_bulk(uint64_t streams, uint64_t bytes, double timeout, int verify, int viaconnect) {
    if (streams == 0 || streams > 20000) fail("--streams must be 1..20000");
    int port;
    struct conn listener = {.kind = LISTENER};
    listener.fd = listen_loopback(&port);
    struct sockaddr_in target = announce_and_read_target(port);

    int ep = epoll_create1(0);
    if (ep < 0) die("epoll_create1");
    watch(ep, &listener, EPOLLIN, EPOLL_CTL_ADD);

    struct conn *sources = calloc(streams, sizeof *sources);
    /* Sinks: one per accepted connection; a relay may open extra ones, so room for more. */
    uint64_t max_sinks = streams * 2 + 64, nsinks = 0;
    struct conn *sinks = calloc(max_sinks, sizeof *sinks);
    if (!sources || !sinks) fail("out of memory");

    const uint64_t expected = streams * bytes;
    uint64_t received = 0;
    uint64_t sources_left = streams;
    const double start = now();
    for (uint64_t i = 0; i < streams; ++i) {
        sources[i].kind = SOURCE;
        sources[i].fd = start_connect(&target);
        watch(ep, &sources[i], EPOLLOUT, EPOLL_CTL_ADD);
    }

    struct epoll_event events[MAX_EVENTS];
    double end = start;
    while (received < expected) {
        if (now() - start > timeout) {
            fprintf(stderr, "loadgen: timed out after %.0f s: %llu of %llu bytes arrived\n",
                    timeout, (unsigned long long)received, (unsigned long long)expected);
            return 2;
        }
        int n = epoll_wait(ep, events, MAX_EVENTS, 100);
        if (n < 0 && errno != EINTR) die("epoll_wait");
        for (int e = 0; e < n; ++e) {
            struct conn *c = events[e].data.ptr;
            if (c->kind == LISTENER) {
                for (int k = 0; k < 1024; ++k) {
                    int fd = accept4(listener.fd, NULL, NULL, SOCK_NONBLOCK);
                    if (fd < 0) {
                        if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) break;
                        die("accept");
                    }
                    if (nsinks == max_sinks) fail("more connections reached the sink than sent");
                    struct conn *s = &sinks[nsinks++];
                    s->kind = SINK;
                    s->fd = fd;
                    watch(ep, s, EPOLLIN, EPOLL_CTL_ADD);
                }
            } else if (c->kind == SOURCE) {
                if (!c->connected) {
                    int err = connect_error(c->fd);
                    if (err) {
                        errno = err;
                        die("connect to the target");
                    }
                    c->connected = 1;
                    if (viaconnect) c->tunnel = 0;
                }
                if (viaconnect && c->tunnel != 2 && !tunnel_ready(ep, c, port)) continue;
                /* A bounded number of sends per wake-up keeps the streams fair. */
                for (int k = 0; k < 64 && c->offset < bytes; ++k) {
                    uint64_t left = bytes - c->offset;
                    size_t len = left < SEND_CHUNK ? (size_t)left : SEND_CHUNK;
                    ssize_t w = send(c->fd, pattern + c->offset % PERIOD, len, MSG_NOSIGNAL);
                    if (w < 0) {
                        if (errno == EAGAIN || errno == EINTR) break;
                        die("send");
                    }
                    c->offset += (uint64_t)w;
                }
                if (c->offset == bytes) {
                    /* Half-close: the relay passes the end on; the socket stays open. */
                    shutdown(c->fd, SHUT_WR);
                    epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, NULL);
                    --sources_left;
                }
            } else {
                for (int k = 0; k < 64; ++k) {
                    ssize_t r =
                        recv(c->fd, verify ? rbuf : NULL, RECV_CHUNK, verify ? 0 : MSG_TRUNC);
                    if (r < 0) {
                        if (errno == EAGAIN || errno == EINTR) break;
                        die("recv");
                    }
                    if (r == 0) {
                        epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, NULL);
                        close(c->fd);
                        c->fd = -1;
                        break;
                    }
                    if (verify && memcmp(rbuf, pattern + c->offset % PERIOD, (size_t)r) != 0) {
                        fprintf(stderr, "loadgen: wrong bytes near offset %llu of a stream\n",
                                (unsigned long long)c->offset);
                        return 3;
                    }
                    c->offset += (uint64_t)r;
                    received += (uint64_t)r;
                    if (verify && c->offset > bytes) fail("a stream got more bytes than sent");
                }
                end = now();
            }
        }
    }
    if (verify) {
        for (uint64_t i = 0; i < nsinks; ++i)
            if (sinks[i].offset != 0 && sinks[i].offset != bytes)
                fail("a stream arrived with a different length than sent");
    }
    if (received > expected) fail("more bytes arrived than were sent");
    double secs = end - start;
    printf("bytes %llu seconds %.6f cpu %.3f streams %llu\n", (unsigned long long)received, secs,
           cpu_seconds(), (unsigned long long)streams);
    fflush(stdout);
    return 0;
}

/* ---- slow: one connection, a reader at a fixed rate ---- */

static int run_slow(uint64_t bytes, uint64_t rate, double seconds) {
    if (rate == 0) fail("--rate must be above 0");
    int port;
    int lfd = listen_loopback(&port);
    struct sockaddr_in target = announce_and_read_target(port);

    int client = socket(AF_INET, SOCK_STREAM, 0);
    if (client < 0) die("socket");
    /* A small receive buffer, so the relay's own buffering shows rather than the kernel's. */
    int rcv = 128 * 1024;
    setsockopt(client, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
    if (connect(client, (struct sockaddr *)&target, sizeof target) < 0)
        die("connect to the target");
    /* The client asks first, as a browser does: a relay may open its far side only then. */
    static const char ask[] = "GET http://127.0.0.1/big HTTP/1.0\r\n\r\n";
    if (send(client, ask, sizeof ask - 1, MSG_NOSIGNAL) < 0) die("send the request");
    nonblocking(client);

    const double start = now();
    int server = -1;
    uint64_t sent = 0, got = 0;
    int closed = 0;
    while (got < bytes && now() - start < seconds) {
        if (server < 0) {
            server = accept4(lfd, NULL, NULL, SOCK_NONBLOCK);
            if (server < 0 && errno != EAGAIN && errno != EINTR) die("accept");
        }
        for (int k = 0; server >= 0 && sent < bytes && k < 64; ++k) {
            uint64_t left = bytes - sent;
            size_t len = left < SEND_CHUNK ? (size_t)left : SEND_CHUNK;
            ssize_t w = send(server, pattern + sent % PERIOD, len, MSG_NOSIGNAL);
            if (w < 0) {
                if (errno == EAGAIN || errno == EINTR) break;
                die("send");
            }
            sent += (uint64_t)w;
        }
        if (server >= 0 && sent == bytes && !closed) {
            shutdown(server, SHUT_WR);
            closed = 1;
        }
        /* Read what the rate allows so far. */
        uint64_t allowed = (uint64_t)((now() - start) * (double)rate);
        while (got < allowed && got < bytes) {
            uint64_t want = allowed - got;
            ssize_t r = recv(client, rbuf, want < RECV_CHUNK ? (size_t)want : RECV_CHUNK, 0);
            if (r < 0) {
                if (errno == EAGAIN || errno == EINTR) break;
                die("recv");
            }
            if (r == 0) {
                fprintf(stderr, "loadgen: the relay closed the connection after %llu bytes\n",
                        (unsigned long long)got);
                return 2;
            }
            if (memcmp(rbuf, pattern + got % PERIOD, (size_t)r) != 0) fail("wrong bytes arrived");
            got += (uint64_t)r;
        }
        usleep(5000);
    }
    printf("sent %llu read %llu seconds %.3f cpu %.3f\n", (unsigned long long)sent,
           (unsigned long long)got, now() - start, cpu_seconds());
    fflush(stdout);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 2) fail("usage: loadgen bulk|slow [options]");
    for (size_t i = 0; i < sizeof pattern; ++i) pattern[i] = (unsigned char)(i % PERIOD);
    uint64_t streams = 1, bytes = 0, rate = 1 << 20;
    double timeout = 300, seconds = 30;
    int verify = 0, viaconnect = 0;
    for (int i = 2; i < argc; ++i) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : NULL;
        if (!strcmp(a, "--verify")) {
            verify = 1;
            continue;
        }
        if (!strcmp(a, "--connect")) {
            viaconnect = 1;
            continue;
        }
        if (!v) fail("option without a value");
        if (!strcmp(a, "--streams"))
            streams = parse_count(v);
        else if (!strcmp(a, "--bytes"))
            bytes = parse_count(v);
        else if (!strcmp(a, "--rate"))
            rate = parse_count(v);
        else if (!strcmp(a, "--timeout"))
            timeout = (double)parse_count(v);
        else if (!strcmp(a, "--seconds"))
            seconds = (double)parse_count(v);
        else if (!strcmp(a, "--port")) {
            uint64_t p = parse_count(v);
            if (p == 0 || p > 65535) fail("--port must be 1..65535");
            listen_port = (int)p;
        }
        else
            fail("unknown option");
        ++i;
    }
    if (bytes == 0) fail("--bytes must be above 0");
    if (!strcmp(argv[1], "bulk")) return run_bulk(streams, bytes, timeout, verify, viaconnect);
    if (!strcmp(argv[1], "slow")) return run_slow(bytes, rate, seconds);
    fail("mode must be bulk or slow");
    return 1;
}
