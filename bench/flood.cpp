// SPDX-License-Identifier: MIT
//
// vantrel-flood: sends invalid datagrams (no 5A A5 markers) to one UDP port as
// fast as one thread can, for the flood test and the benchmark. It sends at
// least --count datagrams and keeps on for at least --ms milliseconds; with
// --rate it sends no faster than that many datagrams a second.
// Prints "start T" before the first datagram and "done sent=N failed=F T"
// after the last, T being the wall clock in milliseconds since the epoch, so
// that a test can line the flood up with other processes' logs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

long long wallMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

[[noreturn]] void usage()
{
    std::fputs("Usage: vantrel-flood --to A.B.C.D [--port N] [--count N] [--ms N] [--size N] "
               "[--rate N]\n"
               "Sends invalid datagrams (default: to port 48322, 50000 of them, 48 bytes).\n",
               stderr);
    std::exit(1);
}

} // namespace

int main(int argc, char **argv)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(48322);
    long long count = 50000, minMs = 0, rate = 0;
    std::size_t size = 48;
    bool haveTo = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            usage();
        const char *value = argv[++i];
        if (arg == "--to")
            haveTo = inet_pton(AF_INET, value, &to.sin_addr) == 1;
        else if (arg == "--port")
            to.sin_port = htons(std::uint16_t(std::atoi(value)));
        else if (arg == "--count")
            count = std::atoll(value);
        else if (arg == "--ms")
            minMs = std::atoll(value);
        else if (arg == "--rate")
            rate = std::atoll(value);
        else if (arg == "--size")
            size = std::size_t(std::atoi(value));
        else
            usage();
    }
    if (!haveTo || size > 65507)
        usage();

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("vantrel-flood: socket");
        return 2;
    }
    // Bytes 2 and 3 never hold the reply markers 5A A5.
    std::vector<unsigned char> datagram(size, 0x11);

    std::printf("start %lld\n", wallMs());
    std::fflush(stdout);
    const auto begin = std::chrono::steady_clock::now();
    const auto until = begin + std::chrono::milliseconds(minMs);
    long long sent = 0, failed = 0;
    while (sent < count || std::chrono::steady_clock::now() < until) {
        // A datagram to a port nobody holds yet is still a datagram sent.
        if (sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to),
                   sizeof to) < 0)
            ++failed;
        ++sent;
        // Paced in steps of a hundred datagrams, against the clock, not by sleeps alone.
        if (rate > 0 && sent % 100 == 0)
            std::this_thread::sleep_until(begin + std::chrono::microseconds(sent * 1000000 / rate));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("done sent=%lld failed=%lld rate=%.0f end=%lld\n", sent, failed,
                seconds > 0 ? double(sent) / seconds : 0.0, wallMs());
    close(fd);
    return 0;
}
