# Installation of everything beside the three programs (their own install
# rules sit with their targets), and the packages built by CPack:
#
#   cmake --install build/default --prefix /usr/local
#   cd build/default && cpack -G DEB      -> flashmere_<version>_<arch>.deb
#   cd build/windows-full && cpack        -> flashmere-<version>-win64.exe and .zip
#
# The desktop entry, the icons and the manual pages come from data/ and
# docs/man/; nothing here needs a tool beyond gzip at build time. The
# Windows installer is cmake/WindowsPackaging.cmake.
include(GNUInstallDirs)
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/WindowsPackaging.cmake)
  return()
endif()

set(FLASHMERE_MAN_PAGES flashmere-cli flashmere-devsim)
if(FLASHMERE_BUILD_GUI)
  list(APPEND FLASHMERE_MAN_PAGES flashmere)
endif()

# Manual pages, compressed as Debian installs them (gzip -9n: no name or
# time stamp inside, so the package is reproducible).
set(man_outputs)
foreach(page IN LISTS FLASHMERE_MAN_PAGES)
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.1)
  set(output ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${source} ${output}
    DEPENDS ${source}
    COMMENT "Compressing manual page ${page}.1"
    VERBATIM)
  list(APPEND man_outputs ${output})
endforeach()
add_custom_target(manpages ALL DEPENDS ${man_outputs})
install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(FLASHMERE_BUILD_GUI)
  install(FILES ${PROJECT_SOURCE_DIR}/data/flashmere.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/data/icons/flashmere.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/data/icons/hicolor/${size}x${size}/apps/flashmere.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
endif()

# The operator's documentation, with the pictures it shows.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/USER_GUIDE.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/flashmere)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/screenshots
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/flashmere
        FILES_MATCHING PATTERN "*.png")

# The Debian package. It is made from what is built: CPack (and the install
# target) do not start a build of everything first, so packaging inside the
# test run never competes with the tests for the machine.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME flashmere)
set(CPACK_PACKAGE_VENDOR "Flashmere")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Flashmere maintainers <maintainers@flashmere.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upgrade tool for field devices on serial lines and TCP")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "firmware upgrade tool for field devices on serial lines and TCP
 Flashmere writes a new firmware program (.TVB file) into one field device
 at a time (readers, controllers, I/O and network modules) over a serial
 line or TCP: it identifies the device, checks its model against the file,
 programs the image page by page, optionally reads it back and compares,
 and starts the new program.
 .
 The package holds the window (flashmere), the command line
 (flashmere-cli, with JSON output for scripts) and a simulated device
 (flashmere-devsim) for trying the tools without hardware.
 .
 Serial ports need membership of the dialout group.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: the shared libraries the programs link against, as dpkg-shlibdeps
# finds them (Qt 6 Core, Network, SerialPort, Widgets, Multimedia, ...).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's platform plugins are loaded at run time, so dpkg-shlibdeps
# cannot see them; the Chinese texts need a CJK font.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins, fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")
include(CPack)
