# The Debian package of the native programs, for an office server:
#   cmake --build <build dir> --target package
# leaves tavilo-conference_<version>_<arch>.deb in the build dir: the
# programs of conf_install_program in /usr/bin with their man pages, the
# private programs in /usr/lib/tavilo-conference, the systemd template units
# of the relay and of the web gateway (with the gateway's settings in
# /etc/default/confweb), the log rotation of the relay's transcripts, and the
# copyright and changelog.
#
# What only the package carries (the unit names /usr/bin/confrelay, the log
# rotation belongs in /etc) is the component "deb", left out of a plain
# `cmake --install`.
include_guard(GLOBAL)

set(conf_deb_source "${CMAKE_CURRENT_LIST_DIR}/../packaging/deb")
cmake_path(NORMAL_PATH conf_deb_source)
set(conf_deb_build "${CMAKE_BINARY_DIR}/deb")
set(CONF_PACKAGE_MAINTAINER "Tavilo Conference Maintainers <conference@tavilo.example>")

# The changelog names the version it describes; a new version needs a new
# entry, or lintian finds the package and its changelog disagreeing.
file(STRINGS "${conf_deb_source}/changelog" conf_deb_changelog_head LIMIT_COUNT 1)
if(NOT conf_deb_changelog_head MATCHES "^${CONF_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/deb/changelog does not begin with version ${PROJECT_VERSION}")
endif()
find_program(GZIP gzip REQUIRED)
add_custom_command(
    OUTPUT "${conf_deb_build}/changelog.gz"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${conf_deb_build}"
    COMMAND ${GZIP} -9nc "${conf_deb_source}/changelog" > "${conf_deb_build}/changelog.gz"
    DEPENDS "${conf_deb_source}/changelog"
    VERBATIM)
add_custom_target(conf_deb_changelog ALL DEPENDS "${conf_deb_build}/changelog.gz")

install(FILES "${conf_deb_source}/confrelay@.service" "${conf_deb_source}/confweb@.service"
        DESTINATION lib/systemd/system COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES "${conf_deb_source}/confweb.default" RENAME confweb
        DESTINATION /etc/default COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES "${conf_deb_source}/confrelay.logrotate" RENAME confrelay
        DESTINATION /etc/logrotate.d COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES "${conf_deb_source}/copyright" "${conf_deb_build}/changelog.gz"
        DESTINATION share/doc/${CONF_PACKAGE_NAME} COMPONENT deb EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${CONF_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Tavilo")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# One package of the default component and "deb".
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified deb)
set(CPACK_DEBIAN_PACKAGE_NAME ${CONF_PACKAGE_NAME})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CONF_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "text conference relay, web gateway and console client for an office LAN")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "The Linux side of the Tavilo conference (Tavilo会議システム), a text chat\n"
    "room for an office network whose participants use Windows clients.\n"
    "confrelay relays the conference's UDP datagrams; the package runs it as\n"
    "the systemd service confrelay@PORT, for members only, keeping a JSON\n"
    "Lines transcript of the room and its participant table across restarts.\n"
    "confweb lets browsers join the room: a web gateway that takes part in the\n"
    "relay's conference for each browser tab. confchat takes part from a\n"
    "terminal; confbench measures a relay under load.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${conf_deb_source}/conffiles" "${conf_deb_source}/postinst" "${conf_deb_source}/prerm"
    "${conf_deb_source}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
