# Install rules for the program and its desktop integration. Included from the
# top-level CMakeLists.txt after the kapirel target exists.
#
# Desktop environments find the program through the freedesktop entry, the
# hicolor icon theme and the AppStream metadata; the icons are the committed
# images under data/icons, so installing needs no generator run.

include(GNUInstallDirs)

# Directories the install creates get 0755 rather than 0775 under a umask of
# 002. The umask can still take bits away (mkdir applies it), so the package
# sets its directories once more itself (cmake/Package.cmake).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(KAPIREL_APPSTREAM_ID cz.orvik.kapirel)
set(KAPIREL_DATA_DIR ${PROJECT_SOURCE_DIR}/data)

# The installed program finds Qt where the system keeps it, so it needs no
# RPATH (qt_standard_project_setup would give it $ORIGIN/../lib).
set_target_properties(kapirel PROPERTIES INSTALL_RPATH "")
install(TARGETS kapirel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The entry stays kapirel.desktop: that is the window class Qt gives the
# program on X11 and its app id on Wayland, so the shell matches the running
# window to this entry and its icon. The AppStream launchable names it.
install(FILES ${KAPIREL_DATA_DIR}/kapirel.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${KAPIREL_DATA_DIR}/kapirel.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        RENAME ${KAPIREL_APPSTREAM_ID}.metainfo.xml)

foreach(size IN ITEMS 16 32)
    install(FILES ${KAPIREL_DATA_DIR}/icons/kapirel-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME kapirel.png)
endforeach()
install(FILES ${KAPIREL_DATA_DIR}/icons/kapirel.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Manual pages and the changelog are installed gzipped, as Debian wants them:
# -9 for the smallest file, -n for no name and time stamp in the header, so
# the same source always gives the same bytes.
find_program(KAPIREL_GZIP gzip REQUIRED)
set(KAPIREL_GZ_DIR ${CMAKE_CURRENT_BINARY_DIR}/gz)

# kapirel_gzip(<source> <name>): ${KAPIREL_GZ_DIR}/<name>.gz, built with `all`.
function(kapirel_gzip source name)
    set(plain ${KAPIREL_GZ_DIR}/${name})
    add_custom_command(
        OUTPUT ${plain}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${plain}
        COMMAND ${KAPIREL_GZIP} -9nf ${plain}
        DEPENDS ${source}
        COMMENT "Compressing ${name}"
        VERBATIM)
    set_property(GLOBAL APPEND PROPERTY KAPIREL_GZ_FILES ${plain}.gz)
endfunction()

kapirel_gzip(${PROJECT_SOURCE_DIR}/docs/man/kapirel.1 man1/kapirel.1)
kapirel_gzip(${PROJECT_SOURCE_DIR}/docs/man/cs/kapirel.1 cs/man1/kapirel.1)
kapirel_gzip(${KAPIREL_DATA_DIR}/debian/changelog changelog)
get_property(kapirel_gz_files GLOBAL PROPERTY KAPIREL_GZ_FILES)
add_custom_target(kapirel_compressed_docs ALL DEPENDS ${kapirel_gz_files})

install(FILES ${KAPIREL_GZ_DIR}/man1/kapirel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KAPIREL_GZ_DIR}/cs/man1/kapirel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/cs/man1)
# The licence in the machine-readable form Debian reads, and the release
# history; the LICENSE file at the top of the tree is the same licence.
install(FILES ${KAPIREL_DATA_DIR}/debian/copyright ${KAPIREL_GZ_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
