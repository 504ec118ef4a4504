# Install rules for the program and its desktop integration. Included from the
# top-level CMakeLists.txt after the kapirel target exists.
#
# Desktop environments find the program through the freedesktop entry, the
# hicolor icon theme and the AppStream metadata; the icons are the committed
# images under data/icons (tools/make-icons draws them), so installing needs no
# generator run.

include(GNUInstallDirs)

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
