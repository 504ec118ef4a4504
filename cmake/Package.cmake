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

# The project's own address, in the domain its AppStream id names; the same
# one signs data/debian/changelog and data/debian/copyright.
set(KAPIREL_MAINTAINER "kapirel developers <kapirel@orvik.cz>" CACHE STRING
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
# The control members (md5sums) get 0644 as dpkg wants, whatever the umask.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Every directory in the package is 0755. mkdir applies the builder's umask to
# the directories the install creates (0700 under umask 077), and CPack packs
# them as they are on the disk, so they are set again between the install into
# the staging tree and the packing. The files get their modes from install().
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/CPackDirectoryModes.cmake CONTENT [[
file(GLOB_RECURSE kapirel_staged_dirs LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(dir IN LISTS kapirel_staged_dirs)
    if(IS_DIRECTORY "${dir}" AND NOT IS_SYMLINK "${dir}")
        file(CHMOD "${dir}" DIRECTORY_PERMISSIONS
             OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
endforeach()
]] @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/CPackDirectoryModes.cmake)

# Wayland sessions: Qt's wayland platform plugin.  Recommended, not required:
# without it Qt falls back to xcb through XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)

include(CPack)
