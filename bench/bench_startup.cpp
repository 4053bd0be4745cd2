// SPDX-License-Identifier: GPL-3.0-or-later
// The chat window's start-up to its first paint, and the process's peak memory, for
// the program as built (lazy web window) against a build without the web window and
// one that links Qt WebEngine directly. Each probe runs many times, interleaved, each
// in a fresh process; medians are printed.
//
// Usage: bench_startup [runs]   (default 21; QT_QPA_PLATFORM defaults to offscreen)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Sample
{
    double ms = 0;
    double cpuMs = 0;
    double peakMb = 0;
    bool ok = false;
};

// Hand-written on POSIX calls: the child's peak memory comes only from wait4().
Sample runOnce(const std::string& program)
{
    int out[2];
    if (pipe(out) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    // Qt's start-up chatter would drown the table; run a probe by hand to read it.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        return {};
    }

    Sample sample;
    std::string said;
    pollfd wait{out[0], POLLIN, 0};
    while (poll(&wait, 1, 30000) > 0) {
        char buffer[64];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        said.append(buffer, size_t(n));
        if (said.find("painted\n") != std::string::npos) {
            sample.ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            sample.ok = true;
            break;
        }
    }
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    sample.peakMb = double(usage.ru_maxrss) / 1024.0;
    const auto toMs = [](const timeval& t) {
        return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3;
    };
    sample.cpuMs = toMs(usage.ru_utime) + toMs(usage.ru_stime);
    sample.ok = sample.ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return sample;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string directoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace

int main(int argc, char* argv[])
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);

    struct Probe
    {
        const char* name;
        const char* what;
        std::vector<double> ms, cpu, mb;
    };
    std::vector<Probe> probes = {
        {"startup_probe_lean", "without the web window", {}, {}, {}},
        {"startup_probe_svw", "svw (web window loaded on first click)", {}, {}, {}},
        {"startup_probe_eagergl", "svw, GL sharing set up at start-up", {}, {}, {}},
        {"startup_probe_linked", "WebEngine linked into the program", {}, {}, {}},
    };
    const std::string dir = directoryOf(argv[0]);

    for (Probe& probe : probes) // warm the file cache once
        runOnce(dir + "/" + probe.name);
    for (int i = 0; i < runs; ++i) {
        // Each round starts with another probe, so no probe always follows the same one.
        for (size_t k = 0; k < probes.size(); ++k) {
            Probe& probe = probes[(size_t(i) + k) % probes.size()];
            const Sample s = runOnce(dir + "/" + probe.name);
            if (!s.ok) {
                std::fprintf(stderr, "bench_startup: %s did not reach its first paint\n",
                             probe.name);
                return 1;
            }
            probe.ms.push_back(s.ms);
            probe.cpu.push_back(s.cpuMs);
            probe.mb.push_back(s.peakMb);
        }
    }

    std::printf("Chat window start-up to first paint, %d runs each, QT_QPA_PLATFORM=%s\n", runs,
                std::getenv("QT_QPA_PLATFORM"));
    // Wall time suffers from whatever else the machine runs; processor time much less.
    std::printf("%-40s %10s %10s %10s\n", "build (medians)", "wall ms", "cpu ms", "peak MB");
    for (const Probe& probe : probes)
        std::printf("%-40s %10.1f %10.1f %10.1f\n", probe.what, median(probe.ms), median(probe.cpu),
                    median(probe.mb));
    const auto change = [&](const std::vector<double> Probe::*figure) {
        return 100.0 * (median(probes[1].*figure) / median(probes[0].*figure) - 1.0);
    };
    std::printf("svw against the build without the web window: wall %+.1f %%, cpu %+.1f %%, "
                "memory %+.1f %%\n",
                change(&Probe::ms), change(&Probe::cpu), change(&Probe::mb));
    return 0;
}
