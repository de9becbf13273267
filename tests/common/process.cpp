#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tevu::testing {
namespace {

// An owned file descriptor.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

void add_entry(std::vector<std::string>& environment, const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    for (auto it = environment.begin(); it != environment.end();)
        it = it->compare(0, name.size(), name) == 0 ? environment.erase(it) : it + 1;
    environment.push_back(entry);
}

std::vector<std::string> child_environment(const RunOptions& options) {
    std::vector<std::string> environment;
    if (options.inherit_environment) {
        for (char** e = environ; *e; ++e) environment.emplace_back(*e);
    } else {
        environment.emplace_back("LC_ALL=C");
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
            if (const char* value = std::getenv(name)) environment.push_back(std::string(name) + "=" + value);
    }
    for (const std::string& entry : options.environment) add_entry(environment, entry);
    return environment;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& text : strings) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// Points the child's standard output where the options say; false on failure.
bool arrange_output(StandardOutput output, int pipe_end, int terminal) {
    switch (output) {
        case StandardOutput::pipe: return dup2(pipe_end, 1) >= 0;
        case StandardOutput::closed:
            close(1);
            return true;
        case StandardOutput::full_device: {
            int fd = open("/dev/full", O_WRONLY);
            return fd >= 0 && dup2(fd, 1) >= 0;
        }
        case StandardOutput::terminal: return dup2(terminal, 1) >= 0;
    }
    return false;
}

// Reads both pipes to their end, whichever the child writes first.
void drain(int output, int error, RunResult& result) {
    pollfd fds[2] = {{output, POLLIN, 0}, {error, POLLIN, 0}};
    std::string* targets[2] = {&result.output, &result.error};
    int open_ends = 2;
    while (open_ends > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) {
                targets[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                fds[i].fd = -1;
                --open_ends;
            }
        }
    }
}

int wait_for(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace

RunResult run_program(const std::string& program, const std::vector<std::string>& words,
                      const RunOptions& options) {
    std::vector<std::string> argument_strings{
        options.argv0.empty() ? program.substr(program.rfind('/') + 1) : options.argv0};
    argument_strings.insert(argument_strings.end(), words.begin(), words.end());
    std::vector<char*> arguments = pointers(argument_strings);
    if (options.null_argv0) arguments.assign(1, nullptr);
    std::vector<std::string> environment_strings = child_environment(options);
    std::vector<char*> environment = pointers(environment_strings);

    int error_pipe[2];
    int output_pipe[2];
    if (pipe2(error_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    Descriptor error_read(error_pipe[0]), error_write(error_pipe[1]);
    if (pipe2(output_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    Descriptor output_read(output_pipe[0]), output_write(output_pipe[1]);
    Descriptor terminal_master, terminal_slave;
    if (options.output == StandardOutput::terminal) {
        int master, slave;
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
        terminal_master.reset(master);
        terminal_slave.reset(slave);
    }

    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        int null_input = open("/dev/null", O_RDONLY);
        if (null_input < 0 || dup2(null_input, 0) < 0 || dup2(error_write.get(), 2) < 0 ||
            !arrange_output(options.output, output_write.get(), terminal_slave.get()) ||
            (!options.directory.empty() && chdir(options.directory.c_str()) != 0)) {
            _exit(127);
        }
        execve(program.c_str(), arguments.data(), environment.data());
        _exit(127);
    }
    error_write.reset();
    output_write.reset();
    RunResult result;
    drain(output_read.get(), error_read.get(), result);
    const int status = wait_for(child);
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

bool run_tool(const std::vector<std::string>& command) {
    std::vector<std::string> strings = command;
    std::vector<char*> arguments = pointers(strings);
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        int null_device = open("/dev/null", O_RDWR);
        if (null_device >= 0) {
            dup2(null_device, 1);
            dup2(null_device, 2);
        }
        execvp(arguments[0], arguments.data());
        _exit(127);
    }
    const int status = wait_for(child);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace tevu::testing
