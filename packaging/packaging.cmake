# Installs the desktop integration (udev rule, menu entries, icon) and sets up
# CPack to build a Debian package:
#
#   cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
#   cmake --build build -j2
#   (cd build && cpack -G DEB)
#
# Included from the top-level CMakeLists.txt after GNUInstallDirs.

set(KESTRUNE_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# udev reads /usr/lib/udev/rules.d (and /lib/udev/rules.d); with the package's
# /usr prefix this is the former. Always "lib", never the multiarch libdir.
install(FILES ${KESTRUNE_PACKAGING_DIR}/60-kestrune.rules
        DESTINATION lib/udev/rules.d)
install(FILES ${KESTRUNE_PACKAGING_DIR}/kestrune.desktop
              ${KESTRUNE_PACKAGING_DIR}/kestrune-demo.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${KESTRUNE_PACKAGING_DIR}/kestrune.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)

set(CPACK_PACKAGE_NAME kestrune)
set(CPACK_PACKAGE_VENDOR "Kestrune developers")
set(CPACK_PACKAGE_CONTACT "Kestrune developers <dev@kestrune.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(CPACK_PACKAGE_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(CPACK_PACKAGE_VERSION_PATCH ${PROJECT_VERSION_PATCH})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop controller for FTDI USB relay boards")
set(CPACK_PACKAGE_DESCRIPTION
"Kestrune switches the eight relays of FTDI-based USB relay boards, driven
in bit-bang mode, by hand or on a timer from a Qt desktop window.
kestrune-demo runs the same window on simulated boards. A udev rule lets the
operator logged in at the seat open the boards without root rights or group
membership.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kestrune developers <dev@kestrune.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies (Qt 6, libftdi1, libusb, libstdc++) come from
# dpkg-shlibdeps, part of dpkg-dev.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KESTRUNE_PACKAGING_DIR}/debian/postinst
    ${KESTRUNE_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

include(CPack)
