#include "relay_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

namespace conf::bench {

RelayProcess::~RelayProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool pin_to_cpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<std::size_t>(cpu), &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

bool RelayProcess::start(const std::vector<std::string>& command, std::uint16_t port, int cpu,
                         std::string* error) {
    std::vector<std::string> arguments = command;
    arguments.push_back(std::to_string(port));
    return start_command(arguments, cpu, error);
}

bool RelayProcess::start_command(const std::vector<std::string>& command, int cpu, std::string* error) {
    if (command.empty()) {
        *error = "no command";
        return false;
    }
    std::vector<std::string> arguments = command;
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        if (cpu >= 0) pin_to_cpu(cpu);
        // The participant count it prints on every login is of no interest here.
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0) ::dup2(quiet, STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        std::fprintf(stderr, "%s: cannot run %s: %s\n", program_invocation_short_name, argv[0],
                     std::strerror(errno));
        ::_exit(127);
    }
    pid_ = pid;
    reaped_ = false;
    return true;
}

bool RelayProcess::running() {
    if (pid_ <= 0 || reaped_) return false;
    const pid_t done = ::waitpid(pid_, &wait_status_, WNOHANG);
    if (done == pid_) reaped_ = true;
    return !reaped_;
}

ProcessorTime RelayProcess::processor_time() const {
    if (pid_ <= 0 || reaped_) return {};
    return processor_time_of(pid_);
}

ProcessorTime processor_time_of(pid_t pid) {
    ProcessorTime time;
    // The scheduler's own account, in nanoseconds: time on a core, time
    // waiting for one, and the number of turns.
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    std::int64_t running = -1, waiting = -1;
    if (schedstat >> running >> waiting) {
        time.running_ns = running;
        time.waiting_ns = waiting;
    }
    return time;
}

bool RelayProcess::stop(std::string* how) {
    if (pid_ <= 0) return true;
    if (!reaped_) {
        ::kill(pid_, SIGTERM);
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (running() && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &wait_status_, 0);
            reaped_ = true;
            *how = "did not stop on SIGTERM within 5 s";
            return false;
        }
    }
    if (WIFEXITED(wait_status_)) {
        if (WEXITSTATUS(wait_status_) == 0) return true;
        *how = "exited with status " + std::to_string(WEXITSTATUS(wait_status_));
        return false;
    }
    *how = WIFSIGNALED(wait_status_) ? "ended by signal " + std::to_string(WTERMSIG(wait_status_)) : "ended";
    return false;
}

namespace {

std::uint16_t free_port(int type) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}

}  // namespace

std::uint16_t free_udp_port() { return free_port(SOCK_DGRAM); }
std::uint16_t free_tcp_port() { return free_port(SOCK_STREAM); }

}  // namespace conf::bench
