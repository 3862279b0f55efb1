# The folder layers: which folders the code of each folder may include from.
# A folder may always include its own headers. Includes are written from the
# source root ("link/clock.h" is src/link/clock.h); a name without a folder
# ("commands.h") is a file of the including folder. Tests, benchmarks and
# fuzz harnesses may include anything and are not checked.
#
#   link < operator < device < upgrade < service < frontend < shell | cli
#   link < firmware < device
#   link < sim
#
# Each row: folder | folders it may include | Qt it may include (none: no Qt
# header at all; core: no Qt Widgets, Gui or Multimedia; any).
set(FLASHMERE_LAYERS
  "src/link     | link                                                        | core"
  "src/operator | link                                                        | none"
  "src/firmware | link                                                        | none"
  "src/device   | link operator firmware                                      | none"
  "src/upgrade  | link operator firmware device                               | none"
  "src/service  | link operator firmware device upgrade                       | none"
  "src/frontend | link operator firmware device upgrade service               | core"
  "src/shell    | link operator firmware device upgrade service frontend      | any"
  "cli          | link operator firmware device upgrade service frontend      | core"
  "sim          | link                                                        | none"
)

# In a configured build: check the includes whenever a checked file changed.
# Every target of the project waits for the check (flashmere_warnings), so an
# include against the layers stops the build before anything compiles.
if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(layer_globs)
  foreach(row IN LISTS FLASHMERE_LAYERS)
    string(REGEX MATCH "^[^ |]+" folder "${row}")
    list(APPEND layer_globs ${PROJECT_SOURCE_DIR}/${folder}/*.h ${PROJECT_SOURCE_DIR}/${folder}/*.hpp
         ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
  endforeach()
  file(GLOB_RECURSE layer_checked_files CONFIGURE_DEPENDS ${layer_globs})
  # The list of files changes when one is added, which makes the check run
  # even if the new file is older than the last check.
  list(JOIN layer_checked_files "\n" layer_file_list)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/layers.files CONTENT "${layer_file_list}\n")
  set(layer_stamp ${CMAKE_BINARY_DIR}/layers.checked)
  # The folder above QtCore/ among Qt Core's include folders: the check looks
  # up there which module a class header such as <QWidget> belongs to.
  set(layer_qt_headers "")
  if(TARGET Qt6::Core)
    get_target_property(qt_core_includes Qt6::Core INTERFACE_INCLUDE_DIRECTORIES)
    foreach(dir IN LISTS qt_core_includes)
      if(dir MATCHES "^(.+)/QtCore$" AND IS_DIRECTORY "${dir}")
        set(layer_qt_headers "${CMAKE_MATCH_1}")
        break()
      endif()
    endforeach()
  endif()
  add_custom_command(
    OUTPUT ${layer_stamp}
    COMMAND ${CMAKE_COMMAND} -DFLASHMERE_SOURCE_DIR=${PROJECT_SOURCE_DIR} -DSTAMP=${layer_stamp}
            -DQT_HEADERS=${layer_qt_headers}
            -P ${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake
    DEPENDS ${layer_checked_files} ${CMAKE_BINARY_DIR}/layers.files
            ${PROJECT_SOURCE_DIR}/cmake/layers.cmake
            ${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake
    COMMENT "Checking the includes against the layers (cmake/layers.cmake)"
    VERBATIM)
  add_custom_target(flashmere_layers ALL DEPENDS ${layer_stamp})
endif()
