#ifndef _WIN32

#include "windows_service.h"

namespace conf::service {

bool run_if_requested(int, char**, ProgramMain, int*) { return false; }

bool running_as_service() { return false; }

}  // namespace conf::service

#endif  // !_WIN32
