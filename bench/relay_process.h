// A relay under test, started as a child process on a given port and pinned
// to a core, so that confbench can measure it and stop it again.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "load_run.h"

namespace conf::bench {

class RelayProcess {
public:
    RelayProcess() = default;
    ~RelayProcess();
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;

    // Runs `command` (program and arguments) with the port appended, its
    // standard output discarded. `cpu` < 0 leaves the placement to the system.
    bool start(const std::vector<std::string>& command, std::uint16_t port, int cpu, std::string* error);
    // Runs `command` exactly as given.
    bool start_command(const std::vector<std::string>& command, int cpu, std::string* error);

    bool running();
    ProcessorTime processor_time() const;

    // Asks the relay to stop (SIGTERM) and waits for it; kills it if it does
    // not end. True when it ended by itself with status 0; `how` says how it
    // ended otherwise.
    bool stop(std::string* how);

private:
    pid_t pid_ = -1;
    int wait_status_ = 0;
    bool reaped_ = false;
};

// The scheduler's account of a running process; -1s when unknown.
ProcessorTime processor_time_of(pid_t pid);

// Keeps the calling process on one core.
bool pin_to_cpu(int cpu);

// A UDP or TCP port of 127.0.0.1 on which nothing listens right now.
std::uint16_t free_udp_port();
std::uint16_t free_tcp_port();

}  // namespace conf::bench
