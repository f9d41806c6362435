# Window pictures and program icons are drawn at build time by
# tools/images/make_images.py, so the repository holds no binary images.
#
#   conf_program_images(<target> <server|client|pcname>)
#
# generates bitmap1.bmp (server and client) and icon1.ico into
# ${CMAKE_CURRENT_BINARY_DIR}/images and puts that folder on the target's
# include path, so that the target's .rc names them without a path:
#   BITMAP1 BITMAP "bitmap1.bmp"
#   ICON1 ICON "icon1.ico"
# Only Windows builds have resources; elsewhere the call does nothing.

include_guard(GLOBAL)

function(conf_program_images target program)
    if(NOT WIN32)
        return()
    endif()
    if(NOT program MATCHES "^(server|client|pcname)$")
        message(FATAL_ERROR "conf_program_images: no pictures for '${program}'")
    endif()
    find_package(Python3 COMPONENTS Interpreter REQUIRED)
    set(script "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../tools/images/make_images.py")
    cmake_path(NORMAL_PATH script)

    set(images_dir "${CMAKE_CURRENT_BINARY_DIR}/images")
    set(images "${images_dir}/icon1.ico")
    if(NOT program STREQUAL "pcname")
        list(APPEND images "${images_dir}/bitmap1.bmp")
    endif()
    add_custom_command(
        OUTPUT ${images}
        COMMAND "${Python3_EXECUTABLE}" "${script}"
                --program ${program} --out "${images_dir}"
        DEPENDS "${script}"
        COMMENT "Drawing the ${program} pictures"
        VERBATIM)
    add_custom_target(${target}_images DEPENDS ${images})
    add_dependencies(${target} ${target}_images)
    target_include_directories(${target} PRIVATE "${images_dir}")

    # windres does not report the files a script pulls in, so each .rc is
    # made to depend on the images explicitly. Deferred to the end of the
    # directory, so that .rc files added after this call are covered too.
    cmake_language(EVAL CODE "
        cmake_language(DEFER CALL _conf_rc_depends_on_images [[${target}]] [[${images}]])")
endfunction()

function(_conf_rc_depends_on_images target images)
    get_target_property(sources ${target} SOURCES)
    list(FILTER sources INCLUDE REGEX "\\.[rR][cC]$")
    foreach(source IN LISTS sources)
        set_property(SOURCE "${source}" APPEND PROPERTY OBJECT_DEPENDS ${images})
    endforeach()
endfunction()
