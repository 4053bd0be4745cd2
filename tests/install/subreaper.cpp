// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a command and, when it has ended, every process it left behind.
//
//   svw_subreaper COMMAND [ARGUMENT...]
//
// The web engine's helper processes outlive the program that started them by a
// moment; orphaned, they would go to PID 1, which on container and CI machines
// never reaps them. Made a child subreaper, this process adopts them instead:
// it waits for the command, then gives what is left a few seconds to end, ends
// it if need be, and reaps it. It exits with the command's status.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The processes whose parent is this one, read from /proc: an adopted process
// is found here, never through a pid this process was given.
std::vector<pid_t> children()
{
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (!proc)
        return found;
    const pid_t self = getpid();
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = pid_t(std::atoi(entry->d_name));
        if (pid <= 0)
            continue;
        const std::string path = "/proc/" + std::string(entry->d_name) + "/stat";
        FILE* stat = std::fopen(path.c_str(), "r");
        if (!stat)
            continue;
        char buffer[512] = {};
        const size_t got = std::fread(buffer, 1, sizeof buffer - 1, stat);
        std::fclose(stat);
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const char* close = std::strrchr(buffer, ')');
        char state = 0;
        int parent = 0;
        if (got > 0 && close && std::sscanf(close + 1, " %c %d", &state, &parent) == 2 &&
            parent == self)
            found.push_back(pid);
    }
    closedir(proc);
    return found;
}

// Reaps every child that has ended; returns whether any are left.
bool reapEnded()
{
    for (;;) {
        const pid_t pid = waitpid(-1, nullptr, WNOHANG);
        if (pid > 0)
            continue;
        return !(pid < 0 && errno == ECHILD);
    }
}

volatile std::sig_atomic_t commandPid = 0;

void forward(int signal)
{
    if (commandPid > 0)
        kill(commandPid, signal);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COMMAND [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::perror("svw_subreaper: prctl");
        return 2;
    }

    const pid_t command = fork();
    if (command < 0) {
        std::perror("svw_subreaper: fork");
        return 2;
    }
    if (command == 0) {
        execvp(argv[1], argv + 1);
        std::fprintf(stderr, "svw_subreaper: %s: %s\n", argv[1], std::strerror(errno));
        _exit(127);
    }

    // A signal that would end this process (an interrupt, a test runner's
    // timeout) goes on to the command, which then ends and is cleaned up after.
    commandPid = command;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        std::signal(signal, forward);

    int status = 0;
    while (waitpid(command, &status, 0) < 0 && errno == EINTR) {
    }

    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (reapEnded() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    // What is still there is ended; its own children then come here in turn.
    while (reapEnded()) {
        for (pid_t pid : children()) {
            std::fprintf(stderr, "svw_subreaper: ending process %d, left behind\n", int(pid));
            kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(20ms);
    }

    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
