// Control identifiers of the server panel, shared by confserver.cpp and
// confserver.rc (plain #defines, so the resource compiler reads it as is).
// The end-to-end tests read the same numbers from this file.
#pragma once

#define IDC_STOP 1
#define IDC_LISTEN_PORT 101
#define IDC_START 201
#define IDC_COUNT 202
