# The project's own targets build with a strict set of warnings. They are
# errors only when CONF_WARNINGS_AS_ERRORS is on, as tools/test.sh (and so CI)
# sets it: a newer or different compiler than the tested ones must never stop
# a user's own build.
option(CONF_WARNINGS_AS_ERRORS "Treat compiler warnings in the project's own code as errors" OFF)

function(conf_strict_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
        -Wold-style-cast -Wnon-virtual-dtor -Wcast-align -Wnull-dereference
        $<$<BOOL:${CONF_WARNINGS_AS_ERRORS}>:-Werror>)
endfunction()
