# What `cmake --install` puts where, and the Debian packages CPack builds from
# the same rules, one package per component:
#
#   kestrune       (component window)  the window, the demo, menu entries, icon
#   kestrune-cli   (component cli)     the command-line tool, bash completion
#   kestruned      (component daemon)  the board service and its systemd unit
#   kestrune-udev  (component udev)    the udev rule the three others depend on
#   kestrune-mqtt  (component transitional)  the service's name up to 1.4.0:
#                  empty, it brings kestruned in on upgrade
#
# Each carries its manual pages (but kestrune-mqtt), a machine-readable
# copyright file and the changelog. A program's package is made when its target exists. Build and
# check the packages with:
#
#   cmake -S . -B build -DKESTRUNE_BUILD_BENCH=OFF
#   cmake --build build -j2
#   sudo scripts/check-deb.sh build      # or: (cd build && cpack -G DEB)
#
# Included from the top-level CMakeLists.txt after add_subdirectory(src), so
# that every executable target is known here.

include(GNUInstallDirs)

set(KESTRUNE_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KESTRUNE_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${KESTRUNE_PACKAGING_OUT})
# Directories made by the install get 755 whatever the umask of whoever runs it.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The package version is the project's; the changelog must have an entry for it.
file(STRINGS ${KESTRUNE_PACKAGING_DIR}/debian/changelog _kestrune_changelog_top LIMIT_COUNT 1)
if(NOT _kestrune_changelog_top MATCHES "^kestrune \\(${PROJECT_VERSION}\\) ")
    message(WARNING "packaging/debian/changelog does not start with an entry for ${PROJECT_VERSION}: "
                    "add one before building packages")
endif()

# Man pages and the changelog go into the packages compressed with gzip -9n
# (no name, no timestamp: the same bytes on every build).
find_program(KESTRUNE_GZIP gzip REQUIRED)
set(_kestrune_gzipped)
function(kestrune_gzip source output)
    add_custom_command(
        OUTPUT ${output}
        COMMAND sh -c "\"$1\" -9n -c \"$2\" > \"$3\"" sh ${KESTRUNE_GZIP} ${source} ${output}
        DEPENDS ${source}
        COMMENT "Compressing ${output}"
        VERBATIM)
    set(_kestrune_gzipped ${_kestrune_gzipped} ${output} PARENT_SCOPE)
endfunction()

kestrune_gzip(${KESTRUNE_PACKAGING_DIR}/debian/changelog ${KESTRUNE_PACKAGING_OUT}/changelog.gz)
# The pages name the version in their footer.
foreach(_page kestrune.1 kestrune-demo.1 kestrune-cli.1 kestruned.8 kestrune-boards.conf.5)
    configure_file(${KESTRUNE_PACKAGING_DIR}/man/${_page} ${KESTRUNE_PACKAGING_OUT}/man/${_page} @ONLY)
    kestrune_gzip(${KESTRUNE_PACKAGING_OUT}/man/${_page} ${KESTRUNE_PACKAGING_OUT}/${_page}.gz)
endforeach()
add_custom_target(kestrune-packaging-files ALL DEPENDS ${_kestrune_gzipped})

# The copyright file and the changelog, into /usr/share/doc/<package>.
function(kestrune_install_docs component package)
    install(FILES ${KESTRUNE_PACKAGING_DIR}/debian/copyright ${KESTRUNE_PACKAGING_OUT}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
            COMPONENT ${component})
endfunction()

# kestrune-udev: the rule. udev reads /usr/lib/udev/rules.d (and
# /lib/udev/rules.d); with the package's /usr prefix this is the former.
# Always "lib", never the multiarch libdir.
install(FILES ${KESTRUNE_PACKAGING_DIR}/60-kestrune.rules
        DESTINATION lib/udev/rules.d
        COMPONENT udev)
# boards.conf, which every front end reads: its page and an example go with
# the package they all depend on.
install(FILES ${KESTRUNE_PACKAGING_OUT}/kestrune-boards.conf.5.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man5
        COMPONENT udev)
install(FILES ${KESTRUNE_PACKAGING_DIR}/examples/boards.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestrune-udev/examples
        COMPONENT udev)
kestrune_install_docs(udev kestrune-udev)
set(KESTRUNE_COMPONENTS udev)

# kestrune: the window and the demo.
if(TARGET kestrune AND TARGET kestrune-demo)
    install(TARGETS kestrune kestrune-demo
            RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT window)
    install(FILES ${KESTRUNE_PACKAGING_DIR}/kestrune.desktop
                  ${KESTRUNE_PACKAGING_DIR}/kestrune-demo.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
            COMPONENT window)
    install(FILES ${KESTRUNE_PACKAGING_DIR}/kestrune.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps
            COMPONENT window)
    install(FILES ${KESTRUNE_PACKAGING_OUT}/kestrune.1.gz ${KESTRUNE_PACKAGING_OUT}/kestrune-demo.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
            COMPONENT window)
    kestrune_install_docs(window kestrune)
    list(APPEND KESTRUNE_COMPONENTS window)
endif()

# kestrune-cli: the command-line tool.
if(TARGET kestrune-cli)
    install(TARGETS kestrune-cli
            RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT cli)
    install(FILES ${KESTRUNE_PACKAGING_OUT}/kestrune-cli.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
            COMPONENT cli)
    install(FILES ${KESTRUNE_PACKAGING_DIR}/bash-completion/kestrune-cli
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
            COMPONENT cli)
    kestrune_install_docs(cli kestrune-cli)
    list(APPEND KESTRUNE_COMPONENTS cli)
endif()

# kestruned: the board service and its unit. The unit names the installed
# binary, so it is written at install time, when the prefix is known: /usr in
# the package (CPack passes KESTRUNE_PACKAGE_PREFIX), CMAKE_INSTALL_PREFIX
# for `cmake --install` (systemd also reads /usr/local/lib/systemd/system).
if(TARGET kestruned)
    install(TARGETS kestruned
            RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT daemon)
    install(FILES ${KESTRUNE_PACKAGING_OUT}/kestruned.8.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
            COMPONENT daemon)
    set(_unit_in ${KESTRUNE_PACKAGING_DIR}/systemd/kestruned.service.in)
    set(_unit ${KESTRUNE_PACKAGING_OUT}/kestruned.service)
    install(CODE "
        if(DEFINED KESTRUNE_PACKAGE_PREFIX)
            set(KESTRUNE_UNIT_BINDIR \"\${KESTRUNE_PACKAGE_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        else()
            set(KESTRUNE_UNIT_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        endif()
        configure_file(\"${_unit_in}\" \"${_unit}\" @ONLY)"
        COMPONENT daemon)
    install(FILES ${_unit}
            DESTINATION lib/systemd/system
            COMPONENT daemon)
    install(FILES ${KESTRUNE_PACKAGING_DIR}/examples/kestruned.conf
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestruned/examples
            COMPONENT daemon)
    kestrune_install_docs(daemon kestruned)
    # The service's package up to 1.4.0, kept so that an upgrade brings
    # kestruned in; it holds its copyright file and changelog only.
    kestrune_install_docs(transitional kestrune-mqtt)
    list(APPEND KESTRUNE_COMPONENTS daemon transitional)
endif()

# CPack: one Debian package per component.
set(CPACK_PACKAGE_NAME kestrune)
set(CPACK_PACKAGE_VENDOR "Kestrune developers")
set(CPACK_PACKAGE_CONTACT "Kestrune developers <dev@kestrune.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(CPACK_PACKAGE_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(CPACK_PACKAGE_VERSION_PATCH ${PROJECT_VERSION_PATCH})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_CUSTOM_INSTALL_VARIABLES "KESTRUNE_PACKAGE_PREFIX=${CPACK_PACKAGING_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${KESTRUNE_COMPONENTS})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kestrune developers <dev@kestrune.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies (Qt 6, libftdi1, libusb, libstdc++) come from
# dpkg-shlibdeps, part of dpkg-dev, for each package from its own binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Depends between the packages, at exactly this version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

# Each description: the synopsis line, then the long text; a blank line
# separates paragraphs.
set(CPACK_DEBIAN_UDEV_PACKAGE_NAME kestrune-udev)
set(CPACK_DEBIAN_UDEV_PACKAGE_ARCHITECTURE all)
# The rule came in the kestrune package up to 1.3.0.
set(CPACK_DEBIAN_UDEV_PACKAGE_BREAKS "kestrune (<< 1.4.0~)")
set(CPACK_DEBIAN_UDEV_PACKAGE_REPLACES "kestrune (<< 1.4.0~)")
set(CPACK_DEBIAN_UDEV_PACKAGE_CONTROL_EXTRA
    ${KESTRUNE_PACKAGING_DIR}/debian/kestrune-udev/postinst
    ${KESTRUNE_PACKAGING_DIR}/debian/kestrune-udev/postrm)
set(CPACK_DEBIAN_UDEV_DESCRIPTION
"udev rule for FTDI USB relay boards, used by Kestrune
This package holds the udev rule that kestrune, kestrune-cli and
kestruned share. It lets ordinary users open FTDI devices (USB vendor
0403) without root rights: the user logged in at the local seat, and the
members of group plugdev, for cron jobs, SSH sessions and services.
It also holds the manual page of /etc/kestrune/boards.conf, which names
boards and relays for all three, and an example of that file.")

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME kestrune)
set(CPACK_COMPONENT_WINDOW_DEPENDS udev)
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
"desktop controller for FTDI USB relay boards
Kestrune switches the eight relays of FTDI-based USB relay boards, driven
in bit-bang mode, by hand or on a timer from a Qt desktop window, and keeps
timed relay programs in text files. kestrune-demo runs the same window on
simulated boards.

The command-line tool is in kestrune-cli, the board service (with its
MQTT side) in kestruned.")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME kestrune-cli)
set(CPACK_COMPONENT_CLI_DEPENDS udev)
set(CPACK_DEBIAN_CLI_DESCRIPTION
"command-line tool for FTDI USB relay boards
kestrune-cli lists the attached USB relay boards, reads and switches their
eight relays and plays timed relay programs, for shell scripts, cron jobs
and test rigs. Boards are chosen by number, serial number or USB port.

It needs Qt Core, Qt Network (for the board service's local socket) and
libftdi1 only: no display, no widgets.")

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME kestruned)
set(CPACK_COMPONENT_DAEMON_DEPENDS udev)
# The service was kestrune-mqtt up to 1.4.0; its preinst stops that one and
# its postinst takes over its settings file, enable state, drop-ins and saved
# relay states.
set(CPACK_DEBIAN_DAEMON_PACKAGE_BREAKS "kestrune-mqtt (<< 1.5.0~)")
set(CPACK_DEBIAN_DAEMON_PACKAGE_REPLACES "kestrune-mqtt (<< 1.5.0~)")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
    ${KESTRUNE_PACKAGING_DIR}/debian/kestruned/preinst
    ${KESTRUNE_PACKAGING_DIR}/debian/kestruned/postinst
    ${KESTRUNE_PACKAGING_DIR}/debian/kestruned/prerm
    ${KESTRUNE_PACKAGING_DIR}/debian/kestruned/postrm)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION
"board service for FTDI USB relay boards, with MQTT
kestruned holds the USB relay boards attached to this machine. With a
broker named in its settings it puts them on MQTT: every relay's state is
published, and commands on the broker switch relays and play timed relay
programs. Home Assistant finds the relays through MQTT discovery.

It runs as the systemd service kestruned, under a dynamic user in group
plugdev, once /etc/kestrune/kestruned.conf exists; an example is in
/usr/share/doc/kestruned/examples. It replaces kestrune-mqtt, whose
settings file /etc/kestrune/mqtt.conf the upgrade moves there.")

set(CPACK_DEBIAN_TRANSITIONAL_PACKAGE_NAME kestrune-mqtt)
set(CPACK_DEBIAN_TRANSITIONAL_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_TRANSITIONAL_PACKAGE_SECTION oldlibs)
set(CPACK_COMPONENT_TRANSITIONAL_DEPENDS daemon)
set(CPACK_DEBIAN_TRANSITIONAL_PACKAGE_CONTROL_EXTRA ${KESTRUNE_PACKAGING_DIR}/debian/kestrune-mqtt/preinst)
set(CPACK_DEBIAN_TRANSITIONAL_DESCRIPTION
"transitional package for kestruned
The MQTT daemon kestrune-mqtt is now the board service kestruned. This
package brings it in on upgrade and can be removed afterwards.")

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

include(CPack)
