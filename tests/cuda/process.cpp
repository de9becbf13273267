#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tevu::cuda::testing {

namespace {

// Owns the two ends of a pipe.
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe() {
        close_end(0);
        close_end(1);
    }
    void close_end(int i) {
        if (fd[i] >= 0) ::close(fd[i]);
        fd[i] = -1;
    }
};

std::vector<std::string> merged_environment(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> merged;
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const auto& [name, value] : extra)
            replaced = replaced || std::strncmp(*e, (name + "=").c_str(), name.size() + 1) == 0;
        if (!replaced) merged.emplace_back(*e);
    }
    for (const auto& [name, value] : extra) merged.push_back(name + "=" + value);
    return merged;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

void drain(Pipe& out, Pipe& err, ProcessResult& result) {
    pollfd fds[2] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
    std::string* targets[2] = {&result.out, &result.err};
    int open_ends = 2;
    while (open_ends > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[4096];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                targets[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                fds[i].fd = -1;
                --open_ends;
            }
        }
    }
}

}  // namespace

ProcessResult run_process(const std::string& program, const std::vector<std::string>& arguments,
                          const std::vector<std::pair<std::string, std::string>>& environment) {
    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env_strings = merged_environment(environment);
    std::vector<char*> argv = pointers(argv_strings), envp = pointers(env_strings);

    Pipe out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot run " + program + ": " + std::strerror(spawned));
    out.close_end(1);
    err.close_end(1);

    ProcessResult result;
    drain(out, err, result);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace tevu::cuda::testing
