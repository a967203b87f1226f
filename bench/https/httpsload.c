/* HTTPS load client through an HTTP proxy: CONNECT, TLS inside the tunnel, HTTP/1.1 with
 * keep-alive, as a browser behind an office proxy does.
 *
 *   httpsload PROXY_HOST PROXY_PORT NAME PORT PATH CONCURRENCY SECONDS MAX_REQUESTS [PER_CONN]
 *       CONCURRENCY processes each open a tunnel to NAME:PORT through the proxy, do TLS with NAME
 *       (SNI, and the certificate checked against HTTPSLOAD_CAFILE when it is set) and send GET PATH
 *       again and again on it (PER_CONN requests a connection, default unlimited), until SECONDS
 *       have passed or MAX_REQUESTS are done in all. Prints
 *       "requests N failures F connections C bytes B seconds S".
 *   httpsload first PROXY_HOST PROXY_PORT NAME_PATTERN PORT PATH COUNT
 *       COUNT tunnels one after another, each to a name of its own (NAME_PATTERN with %d, such as
 *       127.0.1.%d, with COUNT up to 254, for an origin that listens on every address): each costs the proxy a
 *       certificate of its own. Prints "first-request ms: median M worst W count N" for the time
 *       from CONNECT to the first answer's last byte.
 *
 * Blocking sockets with a time-out; every loop is bounded by a count and by time.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <openssl/ssl.h>

static SSL_CTX *ctx;

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct conn {
    int fd;
    SSL *ssl;
    char buf[1 << 17];
    size_t len;
};

static int dial(const char *host, int port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1) return -1;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    struct timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static ssize_t read_some(struct conn *c, char *p, size_t n) {
    if (c->ssl) return SSL_read(c->ssl, p, (int)n);
    return recv(c->fd, p, n, 0);
}

static int send_all(struct conn *c, const char *p, size_t n) {
    while (n > 0) {
        ssize_t k = c->ssl ? SSL_write(c->ssl, p, (int)n) : send(c->fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return -1;
        p += k;
        n -= (size_t)k;
    }
    return 0;
}

/* A response head, whole, in buf: its length (with the empty line), or -1. */
static long read_head(struct conn *c) {
    for (;;) {
        char *end = c->len >= 4 ? memmem(c->buf, c->len, "\r\n\r\n", 4) : NULL;
        if (end) return (long)(end - c->buf) + 4;
        if (c->len == sizeof c->buf) return -1;
        ssize_t k = read_some(c, c->buf + c->len, sizeof c->buf - c->len);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return -1;
        c->len += (size_t)k;
    }
}

static void drop(struct conn *c, size_t n) {
    memmove(c->buf, c->buf + n, c->len - n);
    c->len -= n;
}

/* One response with a Content-Length body: 0 and its body's size in *bytes when it is a 200;
 * *closes when the server says it closes after it. */
static int response(struct conn *c, long *bytes, int *closes) {
    long head = read_head(c);
    if (head < 0) return -1;
    int ok = c->len >= 12 && memcmp(c->buf + 9, "200", 3) == 0;
    long length = 0;
    for (char *p = c->buf; p < c->buf + head; p++) {
        if ((p == c->buf || p[-1] == '\n') && strncasecmp(p, "content-length:", 15) == 0)
            length = atol(p + 15);
        if ((p == c->buf || p[-1] == '\n') && strncasecmp(p, "connection: close", 17) == 0)
            *closes = 1;
    }
    drop(c, (size_t)head);
    long left = length;
    while (left > 0) {
        if (c->len == 0) {
            ssize_t k = read_some(c, c->buf, sizeof c->buf);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) return -1;
            c->len = (size_t)k;
        }
        size_t take = c->len < (size_t)left ? c->len : (size_t)left;
        drop(c, take);
        left -= (long)take;
    }
    *bytes = length;
    return ok ? 0 : -1;
}

/* The tunnel to name:port through the proxy, and TLS in it. */
static int open_tunnel(struct conn *c, const char *proxy, int proxy_port, const char *name, int port) {
    char line[512];
    c->len = 0;
    c->ssl = NULL;
    c->fd = dial(proxy, proxy_port);
    if (c->fd < 0) return -1;
    int n = snprintf(line, sizeof line, "CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n\r\n", name, port,
                     name, port);
    if (send_all(c, line, (size_t)n) != 0) return -1;
    long head = read_head(c);
    if (head < 0 || c->len < 12 || memcmp(c->buf + 9, "200", 3) != 0) return -1;
    drop(c, (size_t)head);
    c->ssl = SSL_new(ctx);
    SSL_set_fd(c->ssl, c->fd);
    struct in_addr ip;
    if (inet_pton(AF_INET, name, &ip) == 1) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c->ssl), name);
    } else {
        SSL_set_tlsext_host_name(c->ssl, name);
        SSL_set1_host(c->ssl, name);
    }
    return SSL_connect(c->ssl) == 1 ? 0 : -1;
}

static void close_conn(struct conn *c) {
    if (c->ssl) SSL_free(c->ssl);
    c->ssl = NULL;
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
}

static int request(struct conn *c, const char *name, int port, const char *path, long *bytes,
                   int *closes) {
    char line[1024];
    int n = snprintf(line, sizeof line, "GET %s HTTP/1.1\r\nHost: %s:%d\r\nAccept: */*\r\n\r\n",
                     path, name, port);
    if (send_all(c, line, (size_t)n) != 0) return -1;
    return response(c, bytes, closes);
}

static int run_load(char **argv, int argc) {
    const char *proxy = argv[0], *name = argv[2], *path = argv[4];
    int proxy_port = atoi(argv[1]), port = atoi(argv[3]), conc = atoi(argv[5]);
    double seconds = atof(argv[6]);
    long max = atol(argv[7]);
    long per_conn = argc > 8 ? atol(argv[8]) : 0;
    if (conc < 1 || conc > 2000 || seconds <= 0 || max < 1) return 2;
    /* Shared counters: requests started, done, failed, connections, body bytes. */
    long *shared = mmap(NULL, 5 * sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                        -1, 0);
    if (shared == MAP_FAILED) return 2;
    memset(shared, 0, 5 * sizeof(long));
    double start = now(), deadline = start + seconds;
    for (int p = 0; p < conc; p++) {
        pid_t pid = fork();
        if (pid < 0) return 2;
        if (pid == 0) {
            static struct conn c;
            c.fd = -1;
            long on_conn = 0;
            while (now() < deadline && __sync_fetch_and_add(&shared[0], 1) < max) {
                if (c.fd < 0 || (per_conn > 0 && on_conn >= per_conn)) {
                    close_conn(&c);
                    on_conn = 0;
                    if (open_tunnel(&c, proxy, proxy_port, name, port) != 0) {
                        __sync_fetch_and_add(&shared[2], 1);
                        close_conn(&c);
                        continue;
                    }
                    __sync_fetch_and_add(&shared[3], 1);
                }
                long bytes = 0;
                int closes = 0;
                if (request(&c, name, port, path, &bytes, &closes) == 0) {
                    __sync_fetch_and_add(&shared[1], 1);
                    __sync_fetch_and_add(&shared[4], bytes);
                    ++on_conn;
                    if (closes) close_conn(&c);
                } else {
                    __sync_fetch_and_add(&shared[2], 1);
                    close_conn(&c);
                }
            }
            close_conn(&c);
            _exit(0);
        }
    }
    while (wait(NULL) > 0) {
    }
    printf("requests %ld failures %ld connections %ld bytes %ld seconds %.3f\n", shared[1],
           shared[2], shared[3], shared[4], now() - start);
    return 0;
}

static int compare(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

static int run_first(char **argv) {
    const char *proxy = argv[0], *pattern = argv[2], *path = argv[4];
    int proxy_port = atoi(argv[1]), port = atoi(argv[3]), count = atoi(argv[5]);
    if (count < 1 || count > 254 || !strstr(pattern, "%d")) return 2;
    double *times = calloc((size_t)count, sizeof *times);
    int done = 0;
    for (int i = 0; i < count; i++) {
        char name[256];
        snprintf(name, sizeof name, pattern, i + 1);
        static struct conn c;
        double t0 = now();
        long bytes = 0;
        int closes = 0;
        if (open_tunnel(&c, proxy, proxy_port, name, port) == 0 &&
            request(&c, name, port, path, &bytes, &closes) == 0)
            times[done++] = (now() - t0) * 1000;
        close_conn(&c);
    }
    qsort(times, (size_t)done, sizeof *times, compare);
    printf("first-request ms: median %.3f worst %.3f count %d failures %d\n",
           done ? times[done / 2] : 0.0, done ? times[done - 1] : 0.0, done, count - done);
    free(times);
    return 0;
}

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    const char *ca = getenv("HTTPSLOAD_CAFILE");
    if (ca) {
        if (SSL_CTX_load_verify_locations(ctx, ca, NULL) != 1) {
            fprintf(stderr, "httpsload: cannot read %s\n", ca);
            return 2;
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, NULL);
    }
    static const unsigned char alpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    SSL_CTX_set_alpn_protos(ctx, alpn, sizeof alpn);
    if (argc >= 9 && strcmp(argv[1], "first") != 0) return run_load(argv + 1, argc - 1);
    if (argc == 8 && strcmp(argv[1], "first") == 0) return run_first(argv + 2);
    fprintf(stderr,
            "usage: httpsload PROXY_HOST PROXY_PORT NAME PORT PATH CONCURRENCY SECONDS MAX [PER_CONN]\n"
            "       httpsload first PROXY_HOST PROXY_PORT NAME_PATTERN PORT PATH COUNT\n");
    return 2;
}
