// Child processes for tests of the tools: started with their output captured, awaited with a time limit.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace testing_processes {

class Process {
public:
    // Starts argv[0] with the given arguments; `beforeExec` runs in the child, for instance to drop privileges.
    explicit Process(const std::vector<std::string>& argv, const std::function<void()>& beforeExec = {}) {
        int outPipe[2];
        int errPipe[2];
        if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
        std::vector<char*> args;
        args.reserve(argv.size() + 1);
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            dup2(outPipe[1], STDOUT_FILENO);
            dup2(errPipe[1], STDERR_FILENO);
            for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
            if (beforeExec) beforeExec();
            execve(args[0], args.data(), environ);
            _exit(127);
        }
        close(outPipe[1]);
        close(errPipe[1]);
        out_ = outPipe[0];
        err_ = errPipe[0];
    }
    ~Process() {
        if (pid_ > 0 && !finished_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Reads standard output until it holds a whole line or the time runs out; returns that first line.
    std::string firstLine(std::chrono::milliseconds limit = std::chrono::seconds(10)) { return line(0, limit); }

    // Reads standard output until it holds line `index` (from 0) whole or the time runs out; returns that line.
    std::string line(std::size_t index, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        const auto start = [&] {
            std::size_t at = 0;
            for (std::size_t i = 0; i < index && at != std::string::npos; ++i) {
                at = out.find('\n', at);
                if (at != std::string::npos) ++at;
            }
            return at;
        };
        while ((start() == std::string::npos || out.find('\n', start()) == std::string::npos) &&
               std::chrono::steady_clock::now() < end && pump(50)) {
        }
        const std::size_t at = start();
        return at == std::string::npos ? std::string() : out.substr(at, out.find('\n', at) - at);
    }

    void signal(int number) const { kill(pid_, number); }

    // Waits for the exit, reading both streams; returns the exit code, or 128 + the signal that ended it.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (pump(50)) {
            if (std::chrono::steady_clock::now() > end) {
                kill(pid_, SIGKILL);
                throw std::runtime_error("a child process did not finish in time");
            }
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        finished_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string out;
    std::string err;

private:
    // Moves what is ready into `out` and `err`; false once both streams are closed.
    bool pump(int milliseconds) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (out_ < 0 && err_ < 0) return false;
        poll(fds, 2, milliseconds);
        drain(out_, fds[0], out);
        drain(err_, fds[1], err);
        return out_ >= 0 || err_ >= 0;
    }
    static void drain(int& fd, const pollfd& ready, std::string& into) {
        if (fd < 0 || (ready.revents & (POLLIN | POLLHUP)) == 0) return;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else {
            close(fd);
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool finished_ = false;
};

}  // namespace testing_processes
