/* A small stream client for bench/beside_motion.sh: opens N connections to one
 * multipart JPEG stream, reads every one as fast as it can and counts the pictures each
 * delivered inside a measuring window.
 *
 *   stream_reader HOST PORT PATH CLIENTS WARMUP_S MEASURE_S [spread]
 *
 * With "spread" each client connects from an address of its own (127.1.x.y), as viewers
 * on the internet do, so that the server keeps one viewer per client.
 * Prints one line per client: "client I pictures N first_ms F", where N counts the
 * pictures completed between WARMUP_S and WARMUP_S + MEASURE_S after the start and F is
 * the time from connecting to the end of the first picture (-1 when none came).
 * A picture is a part with a Content-Length header; its body is skipped by that length,
 * so the boundary text of either server does not matter.
 * Parts that carry "X-Timestamp: <seconds since the epoch>" (the frame's capture time) also
 * give their age on arrival, from the capture to the receipt of the part's last byte; the
 * last line is then "latency_ms median M p99 P parts N" over the measuring window.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_CLIENTS 512
#define HOLD (64 * 1024)
#define MAX_AGES 200000

struct client {
    int fd;
    char buf[HOLD];
    size_t len;
    long long skip; /* body bytes still to skip */
    long pictures;
    double connected, first;
    double stamp; /* the capture time of the part being read; 0: none */
};

static double ages[MAX_AGES];
static long ageCount;
static int measuring;

static double wall(void) {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static void part_done(struct client* c) {
    if (c->stamp > 0 && measuring && ageCount < MAX_AGES)
        ages[ageCount++] = wall() - c->stamp;
    c->stamp = 0;
}

static int by_value(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

/* Consumes what the buffer holds; returns pictures completed. */
static int parse(struct client* c) {
    int done = 0;
    for (;;) {
        if (c->skip > 0) {
            size_t n = c->len < (size_t)c->skip ? c->len : (size_t)c->skip;
            memmove(c->buf, c->buf + n, c->len - n);
            c->len -= n;
            c->skip -= (long long)n;
            if (c->skip > 0)
                return done;
            part_done(c);
            ++done;
        }
        /* Headers of the next part (or the response head): up to the empty line. */
        char* end = memmem(c->buf, c->len, "\r\n\r\n", 4);
        if (!end) {
            if (c->len == HOLD) /* no header this long: drop it */
                c->len = 0;
            return done;
        }
        size_t headLen = (size_t)(end - c->buf) + 4;
        long long length = -1;
        c->stamp = 0;
        for (char* p = c->buf; p < end; ++p) {
            if (strncasecmp(p, "content-length:", 15) == 0)
                length = atoll(p + 15);
            else if (strncasecmp(p, "x-timestamp:", 12) == 0)
                c->stamp = atof(p + 12);
        }
        memmove(c->buf, c->buf + headLen, c->len - headLen);
        c->len -= headLen;
        if (length >= 0)
            c->skip = length > 0 ? length : 0;
        if (length == 0) {
            part_done(c);
            ++done;
        }
    }
}

int main(int argc, char** argv) {
    if (argc != 7 && !(argc == 8 && strcmp(argv[7], "spread") == 0)) {
        fprintf(stderr, "usage: %s HOST PORT PATH CLIENTS WARMUP_S MEASURE_S [spread]\n", argv[0]);
        return 2;
    }
    const char* host = argv[1];
    int port = atoi(argv[2]), n = atoi(argv[4]);
    double warmup = atof(argv[5]), measure = atof(argv[6]);
    const int spread = argc == 8;
    if (n < 1 || n > MAX_CLIENTS) {
        fprintf(stderr, "stream_reader: 1 to %d clients\n", MAX_CLIENTS);
        return 2;
    }
    static struct client clients[MAX_CLIENTS];
    char request[512];
    snprintf(request, sizeof request, "GET %s HTTP/1.0\r\nHost: %s\r\n\r\n", argv[3], host);
    double start = now();
    for (int i = 0; i < n; ++i) {
        struct client* c = &clients[i];
        struct sockaddr_in a = {0};
        a.sin_family = AF_INET;
        a.sin_port = htons((unsigned short)port);
        inet_pton(AF_INET, host, &a.sin_addr);
        c->fd = socket(AF_INET, SOCK_STREAM, 0);
        if (spread && c->fd >= 0) {
            struct sockaddr_in from = {0};
            from.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl((127u << 24) | (1u << 16) | (unsigned)(i + 1));
            if (bind(c->fd, (struct sockaddr*)&from, sizeof from) != 0) {
                fprintf(stderr, "stream_reader: client %d cannot bind its own address: %s\n", i, strerror(errno));
                return 1;
            }
        }
        c->first = -1;
        c->connected = now();
        if (c->fd < 0 || connect(c->fd, (struct sockaddr*)&a, sizeof a) != 0 ||
            send(c->fd, request, strlen(request), MSG_NOSIGNAL) != (ssize_t)strlen(request)) {
            fprintf(stderr, "stream_reader: client %d cannot connect to %s:%d: %s\n", i, host, port,
                    strerror(errno));
            return 1;
        }
    }
    struct pollfd fds[MAX_CLIENTS];
    for (;;) {
        double t = now() - start;
        if (t >= warmup + measure)
            break;
        measuring = t >= warmup;
        int open = 0;
        for (int i = 0; i < n; ++i) {
            fds[i].fd = clients[i].fd;
            fds[i].events = POLLIN;
            open += clients[i].fd >= 0;
        }
        if (!open)
            break;
        int ready = poll(fds, (nfds_t)n, 200);
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n && ready > 0; ++i) {
            struct client* c = &clients[i];
            if (c->fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t got = recv(c->fd, c->buf + c->len, HOLD - c->len, 0);
            if (got <= 0) {
                close(c->fd);
                c->fd = -1;
                continue;
            }
            c->len += (size_t)got;
            int pictures = parse(c);
            if (pictures && c->first < 0)
                c->first = now() - c->connected;
            double at = now() - start;
            if (at >= warmup && at < warmup + measure)
                c->pictures += pictures;
        }
    }
    for (int i = 0; i < n; ++i)
        printf("client %d pictures %ld first_ms %.0f\n", i, clients[i].pictures,
               clients[i].first < 0 ? -1.0 : clients[i].first * 1000);
    if (ageCount > 0) {
        qsort(ages, (size_t)ageCount, sizeof ages[0], by_value);
        printf("latency_ms median %.1f p99 %.1f parts %ld\n", ages[ageCount / 2] * 1000,
               ages[(long)((ageCount - 1) * 0.99)] * 1000, ageCount);
    }
    return 0;
}
