# The native programs are built hardened by default, as Debian builds its own
# packages: fortified libc calls, stack protector, a read-only relocation
# table bound at start, and position-independent executables. So a package
# made straight from a build tree (`cmake --build build --target package`)
# is as hardened as one made with dpkg-buildflags (tools/package.sh).
#
#   -DCONF_HARDENING=OFF   leaves the compiler's own defaults alone.
#
# Windows builds and the sanitizer and fuzzing builds are left alone: the
# sanitizers bring their own checks, and _FORTIFY_SOURCE only hides calls
# from them.
include_guard(GLOBAL)
include(CheckPIESupported)

option(CONF_HARDENING "Build native programs with fortified libc calls, stack protector, RELRO and PIE" ON)

if(WIN32 OR NOT CONF_HARDENING OR CONF_SANITIZE OR CONF_FUZZ)
    return()
endif()

check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

# Fortification needs the optimiser (glibc warns without it, and warnings can
# be errors here); dpkg-buildflags may already have set a level, which is
# then kept.
if(NOT "${CMAKE_CXX_FLAGS} ${CMAKE_C_FLAGS}" MATCHES "_FORTIFY_SOURCE")
    add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()
add_compile_options(-fstack-protector-strong)
add_link_options(LINKER:-z,relro LINKER:-z,now)
