# A zip of the Windows programs that a Windows user unpacks and runs: each
# .exe is linked statically and needs nothing beside it.
#   cmake --build <build dir> --target package
# leaves TaviloConference-<version>-win64.zip (or -win32.zip) in the build dir.
include_guard(GLOBAL)

foreach(program confserver confclient pcname confweb)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION .)
    endif()
endforeach()
install(FILES "${CMAKE_CURRENT_LIST_DIR}/../packaging/README-Windows.txt" DESTINATION .)

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
