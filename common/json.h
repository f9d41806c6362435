// nlohmann-json for the project's code.
#pragma once

#include "library_headers_begin.h"
#include <nlohmann/json.hpp>
#include "library_headers_end.h"
