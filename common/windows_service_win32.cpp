#ifdef _WIN32

#include "windows_service.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "service_log.h"

namespace conf::service {
namespace {

// Two of these on the disk at most (the log and its .old).
constexpr std::size_t kLogLimitBytes = 4 << 20;
// What the manager is told to wait for a stop: the relay notices within half
// a second, the gateway gives its browsers a few seconds to say goodbye.
constexpr DWORD kStopWaitHintMilliseconds = 10000;

std::atomic<bool> g_is_service{false};
std::atomic<bool> g_stop_raised{false};
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
SERVICE_STATUS g_status{};

// What ServiceMain, run on a thread of the dispatcher's, needs of main's.
int g_argc = 0;
char** g_argv = nullptr;
ProgramMain g_program = nullptr;
int g_exit_status = 0;

void report_state(DWORD state, DWORD wait_hint) {
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    g_status.dwWaitHint = wait_hint;
    ++g_status.dwCheckPoint;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) g_status.dwCheckPoint = 0;
    ::SetServiceStatus(g_status_handle, &g_status);
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // Once: the C runtime puts SIGTERM back to its default (ending the
        // process at once) after calling the program's handler.
        if (!g_stop_raised.exchange(true)) {
            report_state(SERVICE_STOP_PENDING, kStopWaitHintMilliseconds);
            std::raise(SIGTERM);
        }
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Windows tells a service of every user's log-off, which it outlives: taken
// as handled, the event reaches no default handler that would end the
// process. Called after the program's own handlers (the C runtime's for its
// signals among them), which were installed later.
BOOL WINAPI ignore_log_off(DWORD event) { return event == CTRL_LOGOFF_EVENT ? TRUE : FALSE; }

// The program's standard output and error both go into one pipe, which a
// thread of ours empties into the log. On failure `error` says which step.
bool redirect_output(HANDLE* read_end, std::string* error) {
    HANDLE write_end = nullptr;
    if (!::CreatePipe(read_end, &write_end, nullptr, 0)) {
        *error = "CreatePipe";
        return false;
    }
    const int descriptor = ::_open_osfhandle(reinterpret_cast<intptr_t>(write_end), _O_BINARY);
    if (descriptor < 0) {
        *error = "_open_osfhandle";
        return false;
    }
    // A service has no console. Windows' msvcrt still gives the standard
    // streams their descriptors 1 and 2 then, Wine's marks them as having
    // none (and its freopen refuses such a stream): they get theirs back.
    for (std::FILE* stream : {stdout, stderr}) {
        const int standard = stream == stdout ? 1 : 2;
        if (::_fileno(stream) < 0) stream->_file = standard;
        if (::_fileno(stream) != standard || ::_dup2(descriptor, standard) != 0) {
            *error = "_dup2";
            return false;
        }
    }
    ::_close(descriptor);
    ::SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stdout))));
    ::SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stderr))));
    return true;
}

// Ends the pipe's writing side, so that the log's thread reads its end.
void close_output() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::_close(::_fileno(stdout));
    ::_close(::_fileno(stderr));
}

void copy_into_log(HANDLE pipe, ServiceLog* log) {
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) log->take({buffer, got});
}

std::string command_line_text(int argc, char** argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) text += ' ';
        text += argv[i];
    }
    return text;
}

void WINAPI service_main(DWORD, LPSTR*) {
    g_status_handle = ::RegisterServiceCtrlHandlerExA("", on_control, nullptr);
    if (g_status_handle == nullptr) return;
    report_state(SERVICE_START_PENDING, 3000);

    // argv[2] is the log file; the program sees neither it nor "--service".
    ServiceLog log(g_argv[2], kLogLimitBytes, local_time_stamp);
    std::string error;
    HANDLE pipe = nullptr;
    const bool log_open = log.open(&error);
    if (!log_open || !redirect_output(&pipe, &error)) {
        const DWORD error_code = ::GetLastError();
        if (log_open) {
            log.take("service: cannot take the program's output: " + error + ", errno " + std::to_string(errno) +
                     ", Windows error " + std::to_string(error_code) + "\n");
            log.finish();
        }
        // The manager records the failure to start in the system's event log.
        g_status.dwWin32ExitCode = ERROR_OPEN_FAILED;
        g_exit_status = 1;
        report_state(SERVICE_STOPPED, 0);
        return;
    }
    ::SetConsoleCtrlHandler(ignore_log_off, TRUE);
    std::thread log_thread(copy_into_log, pipe, &log);
    std::vector<char*> arguments{g_argv[0]};
    for (int i = 3; i < g_argc; ++i) arguments.push_back(g_argv[i]);
    std::printf("service: started: %s\n", command_line_text(static_cast<int>(arguments.size()),
                                                              arguments.data()).c_str());
    std::fflush(stdout);

    report_state(SERVICE_RUNNING, 0);
    arguments.push_back(nullptr);
    g_exit_status = g_program(static_cast<int>(arguments.size()) - 1, arguments.data());
    std::printf("service: stopped, exit status %d\n", g_exit_status);
    close_output();
    log_thread.join();
    ::CloseHandle(pipe);
    log.finish();

    // A status other than 0 tells the manager the service failed, so that
    // its recovery actions (restart) apply.
    g_status.dwWin32ExitCode = g_exit_status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    g_status.dwServiceSpecificExitCode = static_cast<DWORD>(g_exit_status);
    report_state(SERVICE_STOPPED, 0);
}

}  // namespace

bool run_if_requested(int argc, char** argv, ProgramMain program, int* status) {
    if (argc < 2 || std::strcmp(argv[1], "--service") != 0) return false;
    if (argc < 3 || argv[2][0] == '\0') {
        std::fprintf(stderr, "%s: --service needs a LOGFILE\n", argv[0]);
        *status = 2;
        return true;
    }
    g_argc = argc;
    g_argv = argv;
    g_program = program;
    g_is_service = true;
    char no_name[] = "";  // an own-process service's name is not looked at
    const SERVICE_TABLE_ENTRYA table[] = {{no_name, service_main}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherA(table)) {
        std::fprintf(stderr, "%s: --service is for the Service Control Manager (Windows error %lu)\n", argv[0],
                     static_cast<unsigned long>(::GetLastError()));
        *status = 2;
        return true;
    }
    *status = g_exit_status;
    return true;
}

bool running_as_service() { return g_is_service; }

}  // namespace conf::service

#endif  // _WIN32
