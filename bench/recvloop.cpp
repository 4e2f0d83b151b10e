// SPDX-License-Identifier: MIT
//
// The practical limit of draining a UDP port on this machine: one blocking
// recv() per datagram, nothing else. Binds the port, prints "ready", and on
// SIGTERM or SIGINT prints how many datagrams it took.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

volatile std::sig_atomic_t stop = 0;

void onSignal(int)
{
    stop = 1;
}

} // namespace

int main(int argc, char **argv)
{
    const int port = argc > 1 ? std::atoi(argv[1]) : 48322;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(std::uint16_t(port));
    // The same receive buffer that the program asks for, so only the loop differs.
    const int buffer = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        std::perror("recvloop: bind");
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = onSignal; // no SA_RESTART: the signal ends the blocking recv
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::printf("ready\n");
    std::fflush(stdout);

    char data[2048];
    long long taken = 0;
    while (!stop) {
        if (recv(fd, data, sizeof data, 0) >= 0)
            ++taken;
    }
    std::printf("taken=%lld\n", taken);
    close(fd);
    return 0;
}
