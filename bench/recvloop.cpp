// SPDX-License-Identifier: MIT
//
// The practical limit of draining a UDP port on this machine: one blocking
// recv() per datagram, nothing else; or, given a batch size, recvmmsg() with
// each sender's address and arrival interface, all a batched reader needs.
// Binds the port 48322, prints "ready", and on SIGTERM or SIGINT prints how
// many datagrams it took.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

volatile std::sig_atomic_t stop = 0;

void onSignal(int)
{
    stop = 1;
}

} // namespace

int main(int argc, char **argv)
{
    const int batch = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 1024) : 1;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(48322);
    // The same receive buffer that the program asks for, so only the loop differs.
    const int buffer = 4 << 20, on = 1;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        std::perror("recvloop: bind");
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = onSignal; // no SA_RESTART: the signal ends the blocking read
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::printf("ready\n");
    std::fflush(stdout);

    const std::size_t n = std::size_t(batch);
    std::vector<char> data(n * 2048), control(n * 64);
    std::vector<sockaddr_in> senders(n);
    std::vector<iovec> pieces(n);
    std::vector<mmsghdr> messages(n);
    long long taken = 0;
    while (!stop) {
        if (batch == 1) {
            if (recv(fd, data.data(), 2048, 0) >= 0)
                ++taken;
            continue;
        }
        for (std::size_t i = 0; i < n; ++i) {
            pieces[i] = {data.data() + i * 2048, 2048};
            messages[i] = {};
            messages[i].msg_hdr = {
                &senders[i], sizeof senders[i], &pieces[i], 1, control.data() + i * 64, 64, 0};
        }
        const int got = recvmmsg(fd, messages.data(), unsigned(batch), MSG_WAITFORONE, nullptr);
        taken += std::max(got, 0);
    }
    std::printf("taken=%lld\n", taken);
    close(fd);
    return 0;
}
