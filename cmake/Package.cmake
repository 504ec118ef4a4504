# A Debian package of the installed files (cmake/Install.cmake): run `cpack`
# in the build directory. Included from the top-level CMakeLists.txt after
# cmake/Install.cmake.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kapirel)
set(CPACK_PACKAGE_VENDOR Orvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Water meter pulse counter on a serial port")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(KAPIREL_MAINTAINER "Orvik <kapirel@orvik.cz>" CACHE STRING
    "The Maintainer field of the Debian package: Name <e-mail>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KAPIREL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack puts the summary above this text and indents it as the control
# file wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Orvik KAPIREL counts the pulses of a water meter whose contact is wired to
the modem control lines of a PC serial port (COM1 or COM2) and shows the
running count in large type. When the counting ends it appends the time of
day and the number of pulses to NAMERENO.TXT in the working directory.")
# The Depends line comes from the libraries the binary links (Qt 6, libc,
# libstdc++), as dpkg-shlibdeps finds them on the build machine.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# Wayland sessions: Qt's wayland platform plugin.  Recommended, not required:
# without it Qt falls back to xcb through XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)

include(CPack)
