// SPDX-License-Identifier: MIT
//
// vantrel-measure: launches a program and measures it from outside.
//
//   vantrel-measure startup RUNS PROGRAM...
//     Start-up: from fork to the first datagram that arrives on UDP port 48321,
//     and peak resident memory (the kernel's maximum RSS, taken when the
//     program is ended one second after that datagram). Runs the programs in
//     turn RUNS times and prints the medians: "PROGRAM startup_ms=M rss_kb=K".
//   vantrel-measure drain SECONDS FLOOD -- PROGRAM [ARG]...
//     Drain under a flood: once PROGRAM holds UDP port 48322, runs the flood
//     sender FLOOD at 127.0.0.1 for SECONDS and counts the datagrams read off
//     the port meanwhile (the namespace's UDP InDatagrams). Prints
//     "taken=N sent=S dropped=D rate=R" (R in datagrams per second).
//   vantrel-measure burst COUNT FLOOD -- PROGRAM [ARG]...
//     Drain speed alone: COUNT datagrams queued while PROGRAM is stopped, then
//     timed until it has read them all. Prints "queued=Q taken=N rate=R".
//   vantrel-measure deadline MS FLOOD -- PROGRAM [ARG]...
//     Keeping a deadline: PROGRAM, told to listen MS milliseconds, is flooded
//     from its first request on UDP port 48321 until it exits. Prints
//     "late_ms=L", the time from request plus MS to its exit.
//   vantrel-measure listen PROGRAM [ARG]...
//     The listening window: from PROGRAM's first request on UDP port 48321
//     (the window's start-up search) to the release of UDP port 48322.
//     Prints "request_ms=Q listen_ms=L": launch to request, request to release.
//   vantrel-measure exit PROGRAM [ARG]...
//     The moment PROGRAM has ended: reads its standard output to the end and
//     reaps it, with no shell or helper process between. Prints "found=N
//     end_us=E rss_kb=K": the lines of its output that hold "serial", the
//     wall-clock time of the reaping in microseconds since the epoch (to set
//     against another program's log) and its peak resident memory.
//
// All but startup and listen run PROGRAM on the second of two processors,
// apart from the senders. Meant to run inside a private network namespace
// (scripts/bench.sh).
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

cpu_set_t programProcessor;
bool apart = false;

// The program on a processor of its own, the senders on another (the flood
// this tool starts, the emulator that bench.sh puts on the first processor),
// as a real network's senders are: on a shared one the program ran in bursts
// between the senders' turns, and a queued drain read anywhere from 1.4 to
// 3.5 times the floor from one run to the next. This tool stays with the
// senders while it polls the counters, with the program when it reads the
// program's output.
void keepApart(bool withProgram)
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2)
        return;
    int first = 0;
    while (!CPU_ISSET(first, &allowed))
        ++first;
    int second = first + 1;
    while (!CPU_ISSET(second, &allowed))
        ++second;
    cpu_set_t own;
    CPU_ZERO(&own);
    CPU_SET(withProgram ? second : first, &own);
    sched_setaffinity(0, sizeof own, &own);
    CPU_ZERO(&programProcessor);
    CPU_SET(second, &programProcessor);
    apart = true;
}

pid_t launch(char **argv)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (apart)
            sched_setaffinity(0, sizeof programProcessor, &programProcessor);
        // The programs' own warnings would only clutter the figures.
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDERR_FILENO);
        execv(argv[0], argv);
        std::perror("vantrel-measure: exec");
        _exit(127);
    }
    return pid;
}

// Runs a program with its standard output on a pipe and returns all it
// wrote there, once it closed it; `pid` is left to be reaped.
std::string outputOf(char **argv, pid_t &pid)
{
    int out[2];
    if (pipe(out) != 0) {
        std::perror("vantrel-measure: pipe");
        std::exit(2);
    }
    pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDERR_FILENO);
        execv(argv[0], argv);
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, std::size_t(n));
    close(out[0]);
    return text;
}

// Ends the program and returns its peak resident set in KiB.
long finish(pid_t pid)
{
    kill(pid, SIGTERM);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return usage.ru_maxrss;
}

// One counter of /proc/net/snmp's "Udp:" lines.
long long udpCounter(const std::string &name)
{
    std::ifstream in("/proc/net/snmp");
    std::string names, values;
    while (std::getline(in, names)) {
        if (names.rfind("Udp: ", 0) != 0 || !std::getline(in, values))
            continue;
        std::istringstream n(names), v(values);
        std::string key, value;
        while (n >> key && v >> value)
            if (key == name)
                return std::atoll(value.c_str());
    }
    return -1;
}

// Whether some socket holds UDP port 48322 (0xBCC2 in /proc/net/udp[6]).
bool replyPortHeld()
{
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream in(table);
        std::string line;
        while (std::getline(in, line))
            if (line.find(":BCC2 ") != std::string::npos && line.find(":BCC2 ") < 50)
                return true;
    }
    return false;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// A socket on the receivers' port 48321 that hears what a program sends there,
// giving up after 10 s of silence.
int listenForRequests()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(48321);
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        std::perror("vantrel-measure: bind 48321");
        std::exit(2);
    }
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// One launch: milliseconds to the first datagram on port 48321 (negative if
// none came within 10 s) and the peak resident set in KiB.
std::pair<double, long> launchOnce(const char *path)
{
    const int fd = listenForRequests();

    char *argv[] = {const_cast<char *>(path), nullptr};
    const Clock::time_point start = Clock::now();
    const pid_t pid = launch(argv);
    char byte;
    const bool heard = recv(fd, &byte, 1, 0) >= 0;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    close(fd);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return {heard ? ms : -1, finish(pid)};
}

// Alternates the programs run by run, so that a change in the machine's load
// falls on both alike.
int startup(int runs, const std::vector<const char *> &programs)
{
    std::vector<std::vector<double>> times(programs.size()), rss(programs.size());
    for (int run = 0; run <= runs; ++run) { // run 0 warms the caches and is not counted
        for (std::size_t p = 0; p < programs.size(); ++p) {
            const auto [ms, peak] = launchOnce(programs[p]);
            if (ms < 0) {
                std::fprintf(stderr, "vantrel-measure: %s sent nothing within 10 s\n", programs[p]);
                return 1;
            }
            if (run > 0) {
                times[p].push_back(ms);
                rss[p].push_back(double(peak));
            }
        }
    }
    for (std::size_t p = 0; p < programs.size(); ++p)
        std::printf("%s startup_ms=%.1f rss_kb=%.0f\n", programs[p], median(times[p]),
                    median(rss[p]));
    return 0;
}

int drain(double seconds, const char *flood, char **program)
{
    const pid_t pid = launch(program);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (!replyPortHeld() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!replyPortHeld()) {
        finish(pid);
        std::fprintf(stderr, "vantrel-measure: %s never bound port 48322\n", program[0]);
        return 1;
    }

    const std::string ms = std::to_string(int(seconds * 1000));
    const long long taken0 = udpCounter("InDatagrams"), dropped0 = udpCounter("RcvbufErrors");
    const Clock::time_point start = Clock::now();
    const char *args[] = {flood, "--to", "127.0.0.1", "--count", "0", "--ms", ms.c_str(), nullptr};
    pid_t sender = 0;
    const std::string report = outputOf(const_cast<char **>(args), sender);
    int status = 0;
    waitpid(sender, &status, 0);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const long long taken = udpCounter("InDatagrams") - taken0;
    const long long dropped = udpCounter("RcvbufErrors") - dropped0;
    finish(pid);
    const std::size_t at = report.find("sent=");
    const long long sent = at == std::string::npos ? -1 : std::atoll(report.c_str() + at + 5);
    std::printf("taken=%lld sent=%lld dropped=%lld rate=%.0f\n", taken, sent, dropped,
                double(taken) / elapsed);
    return 0;
}

// Pure drain speed: the program is stopped while COUNT datagrams queue up in
// its receive buffer, then continued; the time until all are read gives the
// rate without a sender competing for the processor.
int burst(long long count, const char *flood, char **program)
{
    const pid_t pid = launch(program);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (!replyPortHeld() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // past the start-up work
    kill(pid, SIGSTOP);
    const long long dropped0 = udpCounter("RcvbufErrors");
    const std::string n = std::to_string(count);
    const pid_t sender = fork();
    if (sender == 0) {
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        execl(flood, flood, "--to", "127.0.0.1", "--count", n.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(sender, &status, 0);
    const long long taken0 = udpCounter("InDatagrams");
    const long long queued = count - (udpCounter("RcvbufErrors") - dropped0);
    const Clock::time_point start = Clock::now();
    kill(pid, SIGCONT);
    // Done when all are read, or when nothing more was read for 200 ms.
    long long taken = 0;
    Clock::time_point last = start;
    while (taken < queued && Clock::now() - last < std::chrono::milliseconds(200)) {
        const long long now = udpCounter("InDatagrams") - taken0;
        if (now != taken) {
            taken = now;
            last = Clock::now();
        }
        // Reading the counters sums every processor's, which slows the
        // reader being measured when done without a pause.
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    const double elapsed = std::chrono::duration<double>(last - start).count();
    finish(pid);
    if (taken < queued * 99 / 100) {
        std::fprintf(stderr, "vantrel-measure: %s read %lld of %lld queued datagrams\n", program[0],
                     taken, queued);
        return 1;
    }
    std::printf("queued=%lld taken=%lld rate=%.0f\n", queued, taken, double(taken) / elapsed);
    return 0;
}

int deadline(double ms, const char *flood, char **program)
{
    const int fd = listenForRequests();
    const pid_t pid = launch(program);
    char byte;
    if (recv(fd, &byte, 1, 0) < 0) {
        std::fprintf(stderr, "vantrel-measure: %s sent no request\n", program[0]);
        finish(pid);
        return 1;
    }
    const Clock::time_point requested = Clock::now();
    close(fd);
    const std::string floodMs = std::to_string(int(ms) + 5000);
    const pid_t sender = fork();
    if (sender == 0) {
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        execl(flood, flood, "--to", "127.0.0.1", "--count", "0", "--ms", floodMs.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double late =
        std::chrono::duration<double, std::milli>(Clock::now() - requested).count() - ms;
    kill(sender, SIGTERM);
    waitpid(sender, &status, 0);
    std::printf("late_ms=%.1f\n", late);
    return 0;
}

int listen(char **program)
{
    const int fd = listenForRequests();
    const Clock::time_point launched = Clock::now();
    const pid_t pid = launch(program);
    char byte;
    if (recv(fd, &byte, 1, 0) < 0) {
        std::fprintf(stderr, "vantrel-measure: %s sent no request\n", program[0]);
        finish(pid);
        return 1;
    }
    const Clock::time_point requested = Clock::now();
    close(fd);
    while (replyPortHeld() && Clock::now() - requested < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    const Clock::time_point released = Clock::now();
    finish(pid);
    const auto ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    std::printf("request_ms=%.1f listen_ms=%.1f\n", ms(requested - launched),
                ms(released - requested));
    return 0;
}

[[noreturn]] void usage()
{
    std::fputs("Usage: vantrel-measure startup RUNS PROGRAM...\n"
               "       vantrel-measure drain SECONDS FLOOD -- PROGRAM [ARG]...\n"
               "       vantrel-measure burst COUNT FLOOD -- PROGRAM [ARG]...\n"
               "       vantrel-measure deadline MS FLOOD -- PROGRAM [ARG]...\n"
               "       vantrel-measure listen PROGRAM [ARG]...\n",
               stderr);
    std::exit(1);
}

int exitTime(char **program)
{
    pid_t pid = 0;
    const std::string text = outputOf(program, pid);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    long found = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        found += line.find("\"serial\"") != std::string::npos;
    std::printf("found=%ld end_us=%lld rss_kb=%ld\n", found, (long long)end.count(),
                usage.ru_maxrss);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "startup" && argc > 3)
        return startup(std::atoi(argv[2]), std::vector<const char *>(argv + 3, argv + argc));
    if (mode == "listen" && argc > 2)
        return listen(argv + 2);
    if (mode == "exit" && argc > 2) {
        keepApart(true);
        return exitTime(argv + 2);
    }
    if (argc < 6 || std::strcmp(argv[4], "--") != 0)
        usage();
    keepApart(false);
    if (mode == "drain")
        return drain(std::atof(argv[2]), argv[3], argv + 5);
    if (mode == "burst")
        return burst(std::atoll(argv[2]), argv[3], argv + 5);
    if (mode == "deadline")
        return deadline(std::atof(argv[2]), argv[3], argv + 5);
    usage();
}
