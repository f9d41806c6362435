# A zip of the Windows programs that a Windows user unpacks and runs: each
# .exe is linked statically and needs nothing beside it.
#   cmake --build <build dir> --target package
# leaves TaviloConference-<version>-win64.zip (or -win32.zip) in the build dir;
#   cmake --build <build dir> --target msi
# the installer TaviloConference-<version>-win64.msi (or -win32.msi) beside it.
include_guard(GLOBAL)

set(conf_windows_programs confserver confclient pcname confrelay confweb)
set(conf_packaging_dir "${CMAKE_CURRENT_LIST_DIR}/../packaging")
cmake_path(NORMAL_PATH conf_packaging_dir)
foreach(program ${conf_windows_programs})
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION .)
    endif()
endforeach()
install(FILES "${conf_packaging_dir}/README-Windows.txt" DESTINATION .)
# What the programs are linked with asks for its licence to go with them.
install(DIRECTORY "${conf_packaging_dir}/licenses" DESTINATION .)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(conf_package_architecture win64)
else()
    set(conf_package_architecture win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME TaviloConference)
set(CPACK_PACKAGE_VENDOR "Tavilo")
set(CPACK_PACKAGE_FILE_NAME "TaviloConference-${PROJECT_VERSION}-${conf_package_architecture}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# The installer, built with wixl and msibuild (msitools) from stripped copies
# of the programs.
find_program(CONF_WIXL wixl)
find_program(CONF_MSIBUILD msibuild)
if(CONF_WIXL AND CONF_MSIBUILD AND NOT CONF_FUZZ)
    if(conf_package_architecture STREQUAL "win64")
        set(conf_msi_arch x64)
    else()
        set(conf_msi_arch x86)
    endif()
    set(conf_msi_bin "${CMAKE_BINARY_DIR}/msi-bin")
    set(CONF_MSI "${CMAKE_BINARY_DIR}/TaviloConference-${PROJECT_VERSION}-${conf_package_architecture}.msi")
    set(conf_strip_commands)
    foreach(program ${conf_windows_programs})
        list(APPEND conf_strip_commands
             COMMAND ${CMAKE_STRIP} -o "${conf_msi_bin}/${program}.exe" "$<TARGET_FILE:${program}>")
    endforeach()
    file(GLOB conf_msi_sources "${conf_packaging_dir}/msi/*" "${conf_packaging_dir}/licenses/*")
    add_custom_command(
        OUTPUT "${CONF_MSI}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${conf_msi_bin}"
        ${conf_strip_commands}
        COMMAND "${conf_packaging_dir}/msi/build-msi.sh" ${conf_msi_arch} ${PROJECT_VERSION} "${conf_msi_bin}"
                "${CMAKE_BINARY_DIR}/client/images/icon1.ico" "${CONF_MSI}"
        DEPENDS ${conf_windows_programs} ${conf_msi_sources} "${conf_packaging_dir}/README-Windows.txt"
        COMMENT "Building the installer ${CONF_MSI}"
        VERBATIM)
    add_custom_target(msi DEPENDS "${CONF_MSI}")
endif()
