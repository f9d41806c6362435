#ifdef _WIN32

#include "console_close.h"

#include <mutex>
#include <utility>

#include <windows.h>

#include "windows_service.h"

namespace conf::web {
namespace {

// Below the five seconds after which Windows ends a closed console's program.
constexpr DWORD kHoldBackMilliseconds = 4500;

std::mutex stop_mutex;
std::function<void()> stop_gateway;  // empty once the guard is gone
HANDLE gateway_ended = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
    case CTRL_LOGOFF_EVENT:
        // A service outlives every user's log-off, and is told of each one:
        // taken as handled, so that no default handler ends the process.
        if (conf::service::running_as_service()) return TRUE;
        break;
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;  // Ctrl+C: the C runtime's SIGINT
    }
    {
        const std::lock_guard<std::mutex> lock(stop_mutex);
        if (!stop_gateway) return FALSE;
        stop_gateway();
    }
    ::WaitForSingleObject(gateway_ended, kHoldBackMilliseconds);
    return TRUE;
}

}  // namespace

ConsoleCloseGuard::ConsoleCloseGuard(std::function<void()> stop) {
    {
        const std::lock_guard<std::mutex> lock(stop_mutex);
        stop_gateway = std::move(stop);
    }
    gateway_ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

// The event stays open: a handler may still be waiting on it.
ConsoleCloseGuard::~ConsoleCloseGuard() {
    {
        const std::lock_guard<std::mutex> lock(stop_mutex);
        stop_gateway = nullptr;
    }
    ::SetEvent(gateway_ended);
}

}  // namespace conf::web

#endif  // _WIN32
