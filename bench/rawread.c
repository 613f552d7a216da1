// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// One read-ports exchange with nothing but POSIX calls: what a process that opens the port,
// asks once and closes costs at the least. zarvex-cli-bench times `zarvex read` against it.
// Prints the reply as zarvex does; exit 3 when the port does not open, 4 without a reply.
#define _DEFAULT_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { ReplyDeadlineMs = 400 };

static long long nowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static int configure(int fd)
{
    struct termios settings;
    if (tcgetattr(fd, &settings) != 0)
        return -1;
    cfmakeraw(&settings); // 8 data bits, no parity, one stop bit
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    cfsetspeed(&settings, B9600);
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        return -1;
    return tcflush(fd, TCIOFLUSH);
}

int main(int argc, char *argv[])
{
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        puts("rawread 1");
        return 0;
    }
    if (argc != 2) {
        fputs("usage: rawread DEVICE | --version\n", stderr);
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || configure(fd) != 0) {
        fprintf(stderr, "rawread: %s: %s\n", argv[1], strerror(errno));
        return 3;
    }
    if (write(fd, "abc", 3) != 3) {
        fprintf(stderr, "rawread: write: %s\n", strerror(errno));
        return 4;
    }
    unsigned char reply[3];
    size_t got = 0;
    const long long deadline = nowMs() + ReplyDeadlineMs;
    while (got < sizeof reply) {
        const long long left = deadline - nowMs();
        struct pollfd wait = {fd, POLLIN, 0};
        if (left <= 0 || (poll(&wait, 1, (int)left) < 0 && errno != EINTR))
            break;
        const ssize_t n = read(fd, reply + got, sizeof reply - got);
        if (n > 0)
            got += (size_t)n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    close(fd);
    if (got < sizeof reply) {
        fprintf(stderr, "rawread: no answer within %d ms\n", ReplyDeadlineMs);
        return 4;
    }
    printf("A=0x%02X B=0x%02X C=0x%02X\n", reply[0], reply[1], reply[2]);
    return 0;
}
