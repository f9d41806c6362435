# Installing the native programs like any CMake project:
#   cmake --install <build dir> --prefix DIR
# puts each program into DIR/bin and its man page into DIR/share/man.
#
#   conf_install_program(<target> <section> "<one-line description>")
#
# installs the program and a man page that help2man makes at build time from
# the program's own --help and --version, so the two never disagree; the
# description is the page's NAME line. Sections that --help has no room for
# (FILES, SIGNALS, SEE ALSO...) come from <target>.h2m beside the target's
# CMakeLists.txt, help2man's include file, when there is one. Pages are gzipped (-9n, reproducibly)
# as Debian wants them. Windows builds install only their zip's contents
# (Packaging.cmake); there the call does nothing.
include_guard(GLOBAL)
include(GNUInstallDirs)

# The Debian package's name; also the name of its private folder, where the
# programs that are not commands of their own live.
set(CONF_PACKAGE_NAME tavilo-conference)
set(CONF_INSTALL_PRIVATE_DIR "${CMAKE_INSTALL_LIBEXECDIR}/${CONF_PACKAGE_NAME}")

if(NOT WIN32)
    find_program(HELP2MAN help2man REQUIRED)
    find_program(GZIP gzip REQUIRED)
endif()

function(conf_install_program target section description)
    if(WIN32)
        return()
    endif()
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

    set(page "${CMAKE_CURRENT_BINARY_DIR}/man/${target}.${section}")
    set(include_file "${CMAKE_CURRENT_SOURCE_DIR}/${target}.h2m")
    set(include_option)
    if(EXISTS "${include_file}")
        set(include_option --include=${include_file})
    else()
        set(include_file)
    endif()
    add_custom_command(
        OUTPUT "${page}.gz"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/man"
        COMMAND ${HELP2MAN} --locale=C.UTF-8 --no-info --section=${section} --name=${description}
                ${include_option} --output=${page} $<TARGET_FILE:${target}>
        COMMAND ${GZIP} -9nf "${page}"
        DEPENDS ${target} ${include_file}
        COMMENT "Making the man page ${target}(${section})"
        VERBATIM)
    add_custom_target(${target}_man ALL DEPENDS "${page}.gz")
    install(FILES "${page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}")
endfunction()
