/* POP3 load client for the proxy benchmark.
 *
 *   popload sessions HOST PORT USER PASS CONCURRENCY SECONDS MAX_SESSIONS
 *       CONCURRENCY processes each run short sessions (greeting, USER, PASS, STAT, QUIT) one after
 *       another until SECONDS have passed or MAX_SESSIONS are done in all. Prints
 *       "sessions N failures F seconds S".
 *   popload retr HOST PORT USER PASS [WINDOW]
 *       One session that retrieves every message with RETR, one command at a time as mail clients
 *       do, or with up to WINDOW commands sent ahead (pipelining). Prints
 *       "messages N bytes B seconds S" for the RETR loop.
 *   popload rtt HOST PORT USER PASS COUNT
 *       One session that, after the login, sends COUNT NOOPs and then COUNT "RETR 1", each waiting
 *       for its answer before the next, and times every round trip. Prints
 *       "noop-us N retr-us R bytes B": the median round trip of each in microseconds and the size
 *       of the RETR answer.
 *
 * Blocking sockets with a time-out; every loop is bounded by a count and by time. With
 * POPLOAD_CAFILE set, every connection is TLS from the first byte, the server's certificate checked
 * against that authority and the name POPLOAD_NAME (default localhost), as a POP3S client does;
 * with POPLOAD_STLS set as well, the client reads the greeting in the clear and upgrades with STLS
 * before it logs in, as a client of port 110 does. With POPLOAD_RESUME set, each client process
 * offers the TLS session of its previous connection, as a mail client that keeps its sessions does.
 */
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

static SSL_CTX *tls_ctx;   /* set when POPLOAD_CAFILE is */
static const char *tls_name = "localhost";
static int tls_upgrade;    /* POPLOAD_STLS: STLS after the greeting instead of TLS at once */
static int tls_resume;     /* POPLOAD_RESUME: offer the last connection's session */
static SSL_SESSION *last_session;

/* A TLS 1.3 server's tickets come after the handshake: each is kept as it arrives. */
static int keep_session(SSL *ssl, SSL_SESSION *session) {
    (void)ssl;
    if (last_session) SSL_SESSION_free(last_session);
    last_session = session;
    return 1; /* the reference is ours now */
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct conn {
    int fd;
    SSL *ssl;
    char buf[1 << 18];
    size_t len; /* bytes in buf */
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

static SSL *current_ssl; /* the connection's TLS, for send_all and the reads */

static ssize_t read_some(int fd, char *p, size_t n) {
    if (current_ssl) return SSL_read(current_ssl, p, (int)n);
    return recv(fd, p, n, 0);
}

static int send_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t k = current_ssl ? SSL_write(current_ssl, p, (int)n) : send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return -1;
        p += k;
        n -= (size_t)k;
    }
    return 0;
}

/* Reads until buf holds `end` at its end-of-data; returns the length up to and including the first
 * match (the rest stays in buf for the next call), or -1. */
static long read_until(struct conn *c, const char *end) {
    size_t elen = strlen(end);
    size_t from = 0;
    for (;;) {
        if (c->len >= elen) {
            for (size_t i = from; i + elen <= c->len; i++) {
                if (memcmp(c->buf + i, end, elen) == 0) return (long)(i + elen);
            }
            from = c->len - elen + 1;
        }
        if (c->len == sizeof c->buf) {
            /* A long answer: keep only the tail that may hold the start of `end`. */
            memmove(c->buf, c->buf + c->len - elen, elen);
            c->len = elen;
            from = 0;
        }
        ssize_t k = read_some(c->fd, c->buf + c->len, sizeof c->buf - c->len);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return -1;
        c->len += (size_t)k;
    }
}

static void drop(struct conn *c, long n) {
    memmove(c->buf, c->buf + n, c->len - (size_t)n);
    c->len -= (size_t)n;
}

/* Sends a command and reads a one-line answer; 0 when it is +OK. */
static int command(struct conn *c, const char *cmd) {
    if (cmd && send_all(c->fd, cmd, strlen(cmd)) != 0) return -1;
    long n = read_until(c, "\r\n");
    if (n < 0) return -1;
    int ok = c->len >= 3 && memcmp(c->buf, "+OK", 3) == 0;
    drop(c, n);
    return ok ? 0 : -1;
}

static int login(struct conn *c, const char *host, int port, const char *user, const char *pass) {
    char line[512];
    c->len = 0;
    c->fd = dial(host, port);
    if (c->fd < 0) return -1;
    c->ssl = NULL;
    current_ssl = NULL;
    if (tls_ctx && tls_upgrade) {
        if (command(c, NULL) != 0 || command(c, "STLS\r\n") != 0) return -1;
    }
    if (tls_ctx) {
        c->ssl = SSL_new(tls_ctx);
        SSL_set_fd(c->ssl, c->fd);
        SSL_set_tlsext_host_name(c->ssl, tls_name);
        SSL_set1_host(c->ssl, tls_name);
        if (tls_resume && last_session) SSL_set_session(c->ssl, last_session);
        if (SSL_connect(c->ssl) != 1) return -1;
        current_ssl = c->ssl;
    }
    if (!tls_upgrade && command(c, NULL) != 0) return -1;
    snprintf(line, sizeof line, "USER %s\r\n", user);
    if (command(c, line) != 0) return -1;
    snprintf(line, sizeof line, "PASS %s\r\n", pass);
    return command(c, line);
}

static int one_session(const char *host, int port, const char *user, const char *pass) {
    static struct conn c;
    int rc = login(&c, host, port, user, pass);
    if (rc == 0) rc = command(&c, "STAT\r\n");
    if (rc == 0) rc = command(&c, "QUIT\r\n");
    /* A session whose connection ended without close_notify cannot be resumed. */
    if (c.ssl && rc == 0) SSL_shutdown(c.ssl);
    if (c.ssl) SSL_free(c.ssl);
    c.ssl = NULL;
    current_ssl = NULL;
    if (c.fd >= 0) close(c.fd);
    return rc;
}

static int run_sessions(char **argv) {
    const char *host = argv[0], *user = argv[2], *pass = argv[3];
    int port = atoi(argv[1]), conc = atoi(argv[4]);
    double seconds = atof(argv[5]);
    long max = atol(argv[6]);
    if (conc < 1 || conc > 1000 || seconds <= 0 || max < 1) return 2;
    /* Shared counters: sessions started (to stop at max), done, failed. */
    long *shared = mmap(NULL, 3 * sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                        -1, 0);
    if (shared == MAP_FAILED) return 2;
    memset(shared, 0, 3 * sizeof(long));
    double start = now(), deadline = start + seconds;
    for (int p = 0; p < conc; p++) {
        pid_t pid = fork();
        if (pid < 0) return 2;
        if (pid == 0) {
            while (now() < deadline && __sync_fetch_and_add(&shared[0], 1) < max) {
                if (one_session(host, port, user, pass) == 0)
                    __sync_fetch_and_add(&shared[1], 1);
                else
                    __sync_fetch_and_add(&shared[2], 1);
            }
            _exit(0);
        }
    }
    for (int p = 0; p < conc; p++) wait(NULL);
    double took = now() - start;
    printf("sessions %ld failures %ld seconds %.3f\n", shared[1], shared[2], took);
    return shared[2] == 0 ? 0 : 1;
}

static int run_retr(char **argv, int window) {
    const char *host = argv[0], *user = argv[2], *pass = argv[3];
    int port = atoi(argv[1]);
    static struct conn c;
    if (login(&c, host, port, user, pass) != 0) {
        fprintf(stderr, "popload: login failed\n");
        return 1;
    }
    if (send_all(c.fd, "STAT\r\n", 6) != 0) return 1;
    long n = read_until(&c, "\r\n");
    if (n < 0 || memcmp(c.buf, "+OK ", 4) != 0) return 1;
    long count = strtol(c.buf + 4, NULL, 10);
    drop(&c, n);
    long long bytes = 0;
    double start = now();
    long sent = 0;
    for (long i = 1; i <= count && i <= 1000000; i++) {
        /* Up to `window` commands are outstanding: 1 is how most mail clients work. */
        while (sent < count && sent < i - 1 + window) {
            char cmd[64];
            int k = snprintf(cmd, sizeof cmd, "RETR %ld\r\n", ++sent);
            if (send_all(c.fd, cmd, (size_t)k) != 0) return 1;
        }
        /* The answer: a status line, the message, a line with one dot. */
        long m = read_until(&c, "\r\n.\r\n");
        if (m < 0 || memcmp(c.buf, "+OK", 3) != 0) {
            fprintf(stderr, "popload: RETR %ld failed\n", i);
            return 1;
        }
        bytes += m;
        drop(&c, m);
    }
    double took = now() - start;
    command(&c, "QUIT\r\n");
    close(c.fd);
    printf("messages %ld bytes %lld seconds %.3f\n", count, bytes, took);
    return 0;
}

static int by_value(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

/* The median of n round trips of `cmd`, each answer ending with `end`; -1 on a failure. */
static double median_round_trip(struct conn *c, const char *cmd, const char *end, long n,
                                double *times, long *answer) {
    for (long i = 0; i < n; i++) {
        double t0 = now();
        if (send_all(c->fd, cmd, strlen(cmd)) != 0) return -1;
        long m = read_until(c, end);
        if (m < 0 || memcmp(c->buf, "+OK", 3) != 0) return -1;
        times[i] = now() - t0;
        *answer = m;
        drop(c, m);
    }
    qsort(times, (size_t)n, sizeof *times, by_value);
    return times[n / 2];
}

static int run_rtt(char **argv) {
    const char *host = argv[0], *user = argv[2], *pass = argv[3];
    int port = atoi(argv[1]);
    long count = atol(argv[4]);
    if (count < 1 || count > 1000000) return 2;
    static struct conn c;
    if (login(&c, host, port, user, pass) != 0) {
        fprintf(stderr, "popload: login failed\n");
        return 1;
    }
    double *times = malloc((size_t)count * sizeof *times);
    if (!times) return 2;
    long answer = 0;
    double noop = median_round_trip(&c, "NOOP\r\n", "\r\n", count, times, &answer);
    double retr = noop < 0 ? -1 : median_round_trip(&c, "RETR 1\r\n", "\r\n.\r\n", count, times,
                                                    &answer);
    free(times);
    if (noop < 0 || retr < 0) {
        fprintf(stderr, "popload: a round trip failed\n");
        return 1;
    }
    command(&c, "QUIT\r\n");
    close(c.fd);
    printf("noop-us %.1f retr-us %.1f bytes %ld\n", noop * 1e6, retr * 1e6, answer);
    return 0;
}

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    if (getenv("POPLOAD_CAFILE")) {
        tls_ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(tls_ctx, TLS1_2_VERSION);
        SSL_CTX_set_verify(tls_ctx, SSL_VERIFY_PEER, NULL);
        if (SSL_CTX_load_verify_locations(tls_ctx, getenv("POPLOAD_CAFILE"), NULL) != 1) return 2;
        if (getenv("POPLOAD_NAME")) tls_name = getenv("POPLOAD_NAME");
        tls_upgrade = getenv("POPLOAD_STLS") != NULL;
        tls_resume = getenv("POPLOAD_RESUME") != NULL;
        if (tls_resume) {
            SSL_CTX_set_session_cache_mode(tls_ctx,
                                           SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
            SSL_CTX_sess_set_new_cb(tls_ctx, keep_session);
        }
    }
    if (argc == 9 && strcmp(argv[1], "sessions") == 0) return run_sessions(argv + 2);
    if (argc == 6 && strcmp(argv[1], "retr") == 0) return run_retr(argv + 2, 1);
    if (argc == 7 && strcmp(argv[1], "rtt") == 0) return run_rtt(argv + 2);
    if (argc == 7 && strcmp(argv[1], "retr") == 0) {
        int window = atoi(argv[6]);
        return window >= 1 && window <= 1000 ? run_retr(argv + 2, window) : 2;
    }
    fprintf(stderr,
            "usage: popload sessions HOST PORT USER PASS CONCURRENCY SECONDS MAX_SESSIONS\n"
            "       popload retr HOST PORT USER PASS [WINDOW]\n"
            "       popload rtt HOST PORT USER PASS COUNT\n");
    return 2;
}
