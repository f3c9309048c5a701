/* The least a stream server can do, for bench/stream_fanout.py: it serves a multipart
 * stream of parts of a given size, ten a second, to every client that connects, with one
 * shared buffer and one send per client and part, and does nothing else. Its CPU time
 * beside Kestrel's shows what the kernel itself costs per client on loopback.
 *
 *   bare_sender CLIENTS PART_BYTES SECONDS
 *
 * Listens on an unused loopback port and prints it as the first line; takes CLIENTS
 * connections, then sends for SECONDS and exits. Each part carries "Content-Length" and
 * "X-Timestamp" as Kestrel's do, so bench/stream_reader.c reads it the same way. A client
 * still sending an earlier part skips the new one, as in Kestrel.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_CLIENTS 512

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: bare_sender CLIENTS PART_BYTES SECONDS\n");
        return 2;
    }
    const int clients = atoi(argv[1]), seconds = atoi(argv[3]);
    const long body = atol(argv[2]);
    if (clients < 1 || clients > MAX_CLIENTS || body < 1 || body > 64 * 1024 * 1024 || seconds < 1) {
        fprintf(stderr, "bare_sender: 1 to %d clients, a part of 1 byte to 64 MiB, at least 1 second\n",
                MAX_CLIENTS);
        return 2;
    }
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in at = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t size = sizeof at;
    if (listener < 0 || bind(listener, (struct sockaddr*)&at, sizeof at) != 0 || listen(listener, 1024) != 0 ||
        getsockname(listener, (struct sockaddr*)&at, &size) != 0) {
        perror("bare_sender: listen");
        return 1;
    }
    printf("%d\n", ntohs(at.sin_port));
    fflush(stdout);

    static int fds[MAX_CLIENTS];
    static size_t sent[MAX_CLIENTS]; /* of the part being sent; its size when done */
    static const char head[] = "HTTP/1.0 200 OK\r\nContent-type: multipart/x-mixed-replace;boundary=bare\r\n\r\n"
                               "--bare\r\n";
    for (int i = 0; i < clients; ++i) {
        char request[4096];
        fds[i] = accept(listener, NULL, NULL);
        if (fds[i] < 0 || recv(fds[i], request, sizeof request, 0) <= 0 ||
            send(fds[i], head, sizeof head - 1, MSG_NOSIGNAL) != (ssize_t)(sizeof head - 1)) {
            perror("bare_sender: client");
            return 1;
        }
        fcntl(fds[i], F_SETFL, O_NONBLOCK);
    }

    /* Two buffers, so that a client still sending the previous part keeps its bytes. */
    const size_t room = (size_t)body + 256;
    char* parts[2] = {malloc(room), malloc(room)};
    size_t lengths[2] = {0, 0};
    int owner[MAX_CLIENTS] = {0}; /* the buffer each client sends from */
    if (!parts[0] || !parts[1])
        return 1;
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (int tick = 0; tick < seconds * 10; ++tick) {
        const int b = tick % 2;
        struct timespec wall;
        clock_gettime(CLOCK_REALTIME, &wall);
        int n = snprintf(parts[b], room, "Content-Type: image/jpeg\r\nContent-Length: %ld\r\nX-Timestamp: %ld.%06ld\r\n\r\n",
                         body, (long)wall.tv_sec, wall.tv_nsec / 1000);
        memset(parts[b] + n, 0xAB, (size_t)body);
        memcpy(parts[b] + n + body, "\r\n--bare\r\n", 10);
        lengths[b] = (size_t)n + (size_t)body + 10;
        for (int i = 0; i < clients; ++i) {
            if (tick > 0 && sent[i] < lengths[owner[i]])
                continue; /* still busy: skips this part */
            owner[i] = b;
            sent[i] = 0;
        }
        for (int i = 0; i < clients; ++i) {
            const size_t length = lengths[owner[i]];
            if (sent[i] >= length)
                continue;
            const ssize_t k = send(fds[i], parts[owner[i]] + sent[i], length - sent[i], MSG_NOSIGNAL);
            if (k > 0)
                sent[i] += (size_t)k;
            else if (k < 0 && errno != EAGAIN && errno != EINTR)
                sent[i] = length; /* the client has gone */
        }
        next.tv_nsec += 100 * 1000 * 1000;
        if (next.tv_nsec >= 1000 * 1000 * 1000) {
            next.tv_nsec -= 1000 * 1000 * 1000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
    }
    return 0;
}
