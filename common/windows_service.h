// Running a console program as a Windows service, under the Service Control
// Manager. The service's command line begins with "--service LOGFILE": the
// program's output then goes to LOGFILE (see service_log.h), and the
// manager's stop and shutdown requests raise SIGTERM, so that the program
// ends exactly as it ends on SIGTERM elsewhere. One file per platform; where
// there are no services nothing is taken and the program goes on as usual
// (and refuses "--service" as the option it does not know).
#pragma once

namespace conf::service {

using ProgramMain = int (*)(int argc, char** argv);

// When argv[1] is "--service": runs `program` as the service, with argv[0]
// and the arguments after LOGFILE, stores its exit status in *status and
// returns true. Otherwise returns false and does nothing.
bool run_if_requested(int argc, char** argv, ProgramMain program, int* status);

// Whether this process is a service started by run_if_requested: a service
// must not take a user's log-off as a request to end.
bool running_as_service();

}  // namespace conf::service
