# The Windows half of `make package`: kapirel-<version>-windows-x64.zip with
# the program, a short README in plain text and the licence.  Notepad on older
# Windows shows LF-only files as one line, hence CRLF.
install(TARGETS kapirel RUNTIME DESTINATION .)
configure_file(${PROJECT_SOURCE_DIR}/data/windows/README.txt ${CMAKE_CURRENT_BINARY_DIR}/README.txt @ONLY
               NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME kapirel-${PROJECT_VERSION}-windows-x64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
