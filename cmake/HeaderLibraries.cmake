# Header-only libraries from Debian's packages, for native and MinGW builds
# alike:
#   conf_json   nlohmann-json
#   conf_asio   Boost.Asio and Boost.Beast, with the system's socket libraries
# Both are SYSTEM include directories: warnings are for our own code.
include_guard(GLOBAL)

add_library(conf_json INTERFACE)
add_library(conf_asio INTERFACE)

if(CMAKE_CROSSCOMPILING AND WIN32)
    # MinGW must never see /usr/include (glibc's headers break its build), and
    # find_package would add it; the libraries come in through links of their
    # own folders only.
    set(conf_header_links ${CMAKE_BINARY_DIR}/header-libraries)
    file(MAKE_DIRECTORY ${conf_header_links})
    foreach(folder boost nlohmann)
        if(NOT IS_DIRECTORY /usr/include/${folder})
            message(FATAL_ERROR "/usr/include/${folder} is missing: run tools/setup.sh")
        endif()
        if(NOT EXISTS ${conf_header_links}/${folder})
            file(CREATE_LINK /usr/include/${folder} ${conf_header_links}/${folder} SYMBOLIC)
        endif()
    endforeach()
    target_include_directories(conf_json SYSTEM INTERFACE ${conf_header_links})
    target_include_directories(conf_asio SYSTEM INTERFACE ${conf_header_links})
    target_link_libraries(conf_asio INTERFACE ws2_32 mswsock)
else()
    find_package(nlohmann_json 3.11 REQUIRED)
    find_package(Boost 1.74 REQUIRED)
    find_package(Threads REQUIRED)
    target_link_libraries(conf_json INTERFACE nlohmann_json::nlohmann_json)
    target_link_libraries(conf_asio INTERFACE Boost::headers Threads::Threads)
endif()
