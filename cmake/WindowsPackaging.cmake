# The Windows installer (NSIS) and a ZIP of the same files:
#
#   bin/flashmere.exe, bin/flashmere-cli.exe   statically linked, no DLL
#   doc/USER_GUIDE.html, doc/README.md, doc/screenshots/*.png
#
# The installer puts the window and the user guide in the Start menu, adds
# bin to PATH only when asked on its options page (never when silent, /S),
# and leaves an uninstaller. Building it needs makensis (Debian's nsis) and
# Python's markdown module (python3-markdown) for the HTML guide.

set(FLASHMERE_DOC_DIR doc)

# The guide as one HTML page beside its pictures, which any browser opens.
find_program(FLASHMERE_GUIDE_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH
             DOC "Python with the markdown module, for the HTML user guide")
set(guide_html ${PROJECT_BINARY_DIR}/doc/USER_GUIDE.html)
add_custom_command(
  OUTPUT ${guide_html}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
  COMMAND ${FLASHMERE_GUIDE_PYTHON} ${PROJECT_SOURCE_DIR}/scripts/guide-html.py
          ${PROJECT_SOURCE_DIR}/docs/USER_GUIDE.md ${guide_html}
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/USER_GUIDE.md ${PROJECT_SOURCE_DIR}/scripts/guide-html.py
  COMMENT "Writing the user guide as HTML"
  VERBATIM)
add_custom_target(user_guide_html ALL DEPENDS ${guide_html})
install(FILES ${guide_html} ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${FLASHMERE_DOC_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/screenshots DESTINATION ${FLASHMERE_DOC_DIR}
        FILES_MATCHING PATTERN "*.png")

set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME flashmere)
set(CPACK_PACKAGE_VENDOR "Flashmere")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME flashmere-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware upgrade tool for field devices on serial lines and TCP")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Flashmere)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Flashmere)
set(CPACK_STRIP_FILES ON)

# A 64-bit installer for 64-bit programs (NSIS's amd64 stubs; the default
# x86 one would not even start where no 32-bit Windows layer is, such as a
# 64-bit-only Wine).
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# The name NSIS also gives the Start menu folder: "Flashmere", as the user
# guide says, whatever the version.
set(CPACK_NSIS_PACKAGE_NAME "Flashmere")
set(CPACK_NSIS_DISPLAY_NAME "Flashmere")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# The options page offers bin (flashmere-cli.exe) on PATH; not ticked.
set(CPACK_NSIS_MODIFY_PATH ON)
# Start menu: the window, and the user guide.
set(CPACK_PACKAGE_EXECUTABLES flashmere "Flashmere")
set(CPACK_NSIS_MENU_LINKS "${FLASHMERE_DOC_DIR}/USER_GUIDE.html" "Flashmere user guide")
set(CPACK_NSIS_INSTALLED_ICON_NAME bin\\\\flashmere.exe)
include(CPack)
