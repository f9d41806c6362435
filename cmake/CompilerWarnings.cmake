# Warnings are errors for the project's own targets in every configuration.
function(conf_strict_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
        -Wold-style-cast -Wnon-virtual-dtor -Wcast-align -Wnull-dereference
        -Werror)
endfunction()
