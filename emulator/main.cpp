// SPDX-License-Identifier: MIT
//
// vantrel-emulator: plays receivers on UDP port 48321 for the tests, the demo
// and users without hardware. One socket and one ppoll loop, no threads;
// delayed replies wait in a queue ordered by due time, so nothing blocks.
#include "devices.h"
#include "discovery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t MaxQueued = 100000; // bounds memory under a flood of requests
constexpr int ReadsPerTurn = 64;          // due replies still go out under a flood

volatile std::sig_atomic_t caughtSignal = 0;

void onSignal(int sig)
{
    caughtSignal = sig;
}

std::string timestamp()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    gmtime_r(&ts.tv_sec, &t);
    char buf[48];
    const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &t);
    std::snprintf(buf + n, sizeof buf - n, ".%03dZ", int(ts.tv_nsec / 1000000));
    return buf;
}

// The log on stdout. When stdout is a pipe it is written without blocking and
// lines wait here until the reader takes them, so that a reader that falls
// behind (a test blocked elsewhere) does not hold back the replies.
class Log {
public:
    // A file description of our own: O_NONBLOCK on the inherited one would
    // also reach the other processes that share the pipe, such as a script.
    void start()
    {
        struct stat st {};
        if (fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode)) {
            const int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                m_fd = fd;
        }
    }
    int fd() const
    {
        return m_fd;
    }
    void line(const std::string &text)
    {
        m_buffer += timestamp() + ' ' + text + '\n';
        flush(0);
    }
    bool waiting() const
    {
        return m_written < m_buffer.size();
    }
    // Writes what the reader takes; waits up to waitMs (-1: no limit) for the rest.
    void flush(int waitMs)
    {
        if (m_buffer.size() - m_written > MaxBuffered)
            waitMs = -1; // bounds the memory; the reader holds everything back now
        while (waiting()) {
            const ssize_t n = write(m_fd, m_buffer.data() + m_written, m_buffer.size() - m_written);
            pollfd p{m_fd, POLLOUT, 0};
            if (n > 0)
                m_written += std::size_t(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else if (n < 0 && errno == EAGAIN && waitMs != 0 && poll(&p, 1, waitMs) > 0)
                continue;
            else if (n < 0 && errno == EAGAIN && waitMs == 0)
                break; // the loop waits for POLLOUT
            else
                m_written = m_buffer.size(); // stdout is gone or stuck: drop the rest
        }
        if (!waiting() || m_written > MaxBuffered) {
            m_buffer.erase(0, m_written);
            m_written = 0;
        }
    }

private:
    static constexpr std::size_t MaxBuffered = 64 << 20;
    int m_fd = STDOUT_FILENO;
    std::string m_buffer;
    std::size_t m_written = 0;
};

Log out;

void emit(const std::string &text)
{
    out.line(text);
}

std::string endpoint(const sockaddr_in &a)
{
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(a.sin_port));
}

std::string hex(const std::uint8_t *data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (std::size_t i = 0; i < size; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 0x0F];
    }
    return out;
}

// Keeps each log field one space-free token whatever the bytes.
std::string escaped(const std::string &text)
{
    std::string out;
    for (const unsigned char c : text) {
        if (c > ' ' && c <= '~' && c != '%') {
            out += char(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

std::string opText(const std::uint8_t *data, std::size_t size)
{
    return size > 4 ? std::to_string(data[4]) : "-";
}

struct Reply {
    std::size_t device;
    sockaddr_in to;
};

struct Emulator {
    EmulatorOptions options;
    int fd = -1;
    std::multimap<Clock::time_point, Reply> queue; // equal times keep device order
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(65536); // any UDP datagram

    const char *queueReplies(const sockaddr_in &from)
    {
        if (queue.size() + options.devices.size() > MaxQueued)
            return "busy";
        sockaddr_in to = from;
        if (!options.replyToSource)
            to.sin_port = htons(Discovery::ReplyPort);
        const Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < options.devices.size(); ++i)
            queue.emplace(now + std::chrono::milliseconds(options.devices[i].delayMs),
                          Reply{i, to});
        return "reply";
    }

    // 255.255.255.255, or an address of this host.
    static bool limitedOrOwn(in_addr dst)
    {
        if (dst.s_addr == INADDR_BROADCAST)
            return true;
        ifaddrs *list = nullptr;
        if (getifaddrs(&list) != 0)
            return false;
        bool own = false;
        for (const ifaddrs *a = list; a && !own; a = a->ifa_next)
            own = a->ifa_addr && a->ifa_addr->sa_family == AF_INET &&
                  reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr.s_addr == dst.s_addr;
        freeifaddrs(list);
        return own;
    }

    // Handles one datagram; false when none is waiting.
    bool receiveOne()
    {
        sockaddr_in from{};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        iovec iov{buffer.data(), buffer.size()};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
        if (n < 0)
            return errno == EINTR;
        const std::size_t size = std::size_t(n);
        const std::uint8_t *data = buffer.data();

        std::string dst = "-", ifName = "-";
        in_addr dstAddress{};
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO)
                continue;
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            char buf[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &info.ipi_addr, buf, sizeof buf);
            dstAddress = info.ipi_addr;
            dst = buf;
            char name[IF_NAMESIZE] = {};
            if (if_indextoname(unsigned(info.ipi_ifindex), name))
                ifName = name;
        }

        const char *kind = "invalid", *result = "dropped";
        if (size > 4 && data[2] == Discovery::Magic0 && data[3] == Discovery::Magic1) {
            if (data[4] == Discovery::OpDiscover) {
                kind = "request";
                result = options.limitedOnly && !limitedOrOwn(dstAddress) ? "ignored"
                                                                          : queueReplies(from);
            } else if (data[4] == Discovery::OpConfigure) {
                kind = "config";
                result =
                    options.ignoreConfig ? "ignored" : applyConfig(options.devices, data, size);
            } else {
                kind = "other";
            }
        }
        emit("recv from=" + endpoint(from) + " dst=" + dst + " if=" + escaped(ifName) +
             " size=" + std::to_string(size) + " op=" + opText(data, size) + " kind=" + kind +
             " result=" + result + " hex=" + hex(data, size));
        return true;
    }

    void sendDue()
    {
        const Clock::time_point now = Clock::now();
        while (!queue.empty() && queue.begin()->first <= now) {
            const Reply r = queue.begin()->second;
            queue.erase(queue.begin());
            const EmulatedDevice &d = options.devices[r.device];
            const ssize_t sent = sendto(fd, d.image.data(), d.size, 0,
                                        reinterpret_cast<const sockaddr *>(&r.to), sizeof r.to);
            const std::string error = sent < 0 ? " error=" + escaped(std::strerror(errno)) : "";
            emit("send to=" + endpoint(r.to) + " size=" + std::to_string(d.size) +
                 " op=" + opText(d.image.data(), d.size) + " serial=" + escaped(deviceSerial(d)) +
                 error + " hex=" + hex(d.image.data(), d.size));
        }
    }

    int run(const sigset_t &waitMask)
    {
        while (!caughtSignal) {
            timespec wait{};
            timespec *timeout = nullptr;
            if (!queue.empty()) {
                const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    queue.begin()->first - Clock::now());
                const long long ns = std::max<long long>(0, left.count());
                wait.tv_sec = time_t(ns / 1000000000);
                wait.tv_nsec = long(ns % 1000000000);
                timeout = &wait;
            }
            pollfd p[2] = {{fd, POLLIN, 0}, {out.fd(), POLLOUT, 0}};
            const int ready = ppoll(p, out.waiting() ? 2 : 1, timeout, &waitMask);
            if (ready < 0 && errno != EINTR) {
                std::fprintf(stderr, "vantrel-emulator: poll failed: %s\n", std::strerror(errno));
                return 2;
            }
            for (int i = 0; ready > 0 && p[0].revents && i < ReadsPerTurn && receiveOne(); ++i) {
            }
            sendDue();
            out.flush(0);
        }
        emit(std::string("exit signal=") + (caughtSignal == SIGINT ? "INT" : "TERM"));
        return 0;
    }
};

} // namespace

int main(int argc, char **argv)
{
    Emulator emulator;
    try {
        emulator.options = parseCommandLine(argc, argv);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "vantrel-emulator: %s\n", e.what());
        return 1;
    }
    if (emulator.options.help) {
        std::fputs(UsageText, stdout);
        return 0;
    }
    if (emulator.options.version) {
        std::printf("vantrel-emulator %s\n", VANTREL_VERSION);
        return 0;
    }

    // The signals stay blocked except inside ppoll, so one that arrives between
    // the flag test and the wait is not lost: it interrupts the wait instead.
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // SO_REUSEADDR lets several emulators share the port; each gets every broadcast.
    const int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(Discovery::DevicePort);
    emulator.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (emulator.fd < 0 || setsockopt(emulator.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(emulator.fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        setsockopt(emulator.fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        bind(emulator.fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "vantrel-emulator: cannot listen on UDP port %u: %s\n",
                     unsigned(Discovery::DevicePort), std::strerror(errno));
        return 2;
    }

    out.start();
    const auto &devices = emulator.options.devices;
    for (std::size_t i = 0; i < devices.size(); ++i)
        emit("device n=" + std::to_string(i + 1) + " model=" + escaped(deviceModel(devices[i])) +
             " serial=" + escaped(deviceSerial(devices[i])) + " addr=" + deviceAddress(devices[i]) +
             " size=" + std::to_string(devices[i].size) +
             " delay=" + std::to_string(devices[i].delayMs));
    emit("ready port=" + std::to_string(Discovery::DevicePort) +
         " devices=" + std::to_string(devices.size()));
    const int code = emulator.run(waitMask);
    out.flush(1000);
    close(emulator.fd);
    return code;
}
