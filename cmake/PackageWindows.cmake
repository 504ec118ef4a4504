# The Windows half of `make package`: kapirel-<version>-windows-x64.zip with
# the program, a short README in plain text and the licence.  Notepad on older
# Windows shows LF-only files as one line, hence CRLF.
install(TARGETS kapirel RUNTIME DESTINATION .)
configure_file(${PROJECT_SOURCE_DIR}/data/windows/README.txt ${CMAKE_CURRENT_BINARY_DIR}/README.txt @ONLY
               NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)

# And kapirel-<version>-x64.msi beside it, the installer, built with every
# kapirel.exe so that the tests under Wine have it.  The publisher is the
# Debian package's vendor and the CompanyName of kapirel.exe.  wixl takes the
# sources' paths relative to the .wxs only.
find_program(KAPIREL_WIXL wixl REQUIRED)
set(CPACK_PACKAGE_VENDOR Orvik)
set(kapirel_msi ${CMAKE_CURRENT_BINARY_DIR}/kapirel-${PROJECT_VERSION}-x64.msi)
set(kapirel_wxs_dir ${PROJECT_SOURCE_DIR}/data/windows)
file(RELATIVE_PATH kapirel_msi_build ${kapirel_wxs_dir} ${CMAKE_CURRENT_BINARY_DIR})
file(RELATIVE_PATH kapirel_msi_icons ${kapirel_wxs_dir} ${PROJECT_SOURCE_DIR}/data/icons)
add_custom_command(OUTPUT ${kapirel_msi}
                   COMMAND ${KAPIREL_WIXL} --arch x64 --output ${kapirel_msi} -D Version=${PROJECT_VERSION}
                           -D Publisher=${CPACK_PACKAGE_VENDOR} -D Build=${kapirel_msi_build}
                           -D Icons=${kapirel_msi_icons} ${kapirel_wxs_dir}/kapirel.wxs
                   DEPENDS ${kapirel_wxs_dir}/kapirel.wxs kapirel ${CMAKE_CURRENT_BINARY_DIR}/README.txt
                           ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt ${PROJECT_SOURCE_DIR}/data/icons/kapirel.ico
                   VERBATIM)
add_custom_target(kapirel_msi ALL DEPENDS ${kapirel_msi})

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME kapirel-${PROJECT_VERSION}-windows-x64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
