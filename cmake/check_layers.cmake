# Checks every include of the folders in the layer table (layers.cmake)
# against it and fails on the first build that breaks it.
#   cmake -DFLASHMERE_SOURCE_DIR=<source root> [-DQT_HEADERS=<Qt include root>]
#         [-DSTAMP=<file>] -P cmake/check_layers.cmake
# The table always comes from this folder; the root may be another tree (the
# test points it at a small tree with a bad include). QT_HEADERS is the folder
# that holds QtCore/, QtWidgets/, ...: a class header such as <QWidget> names
# no module, so only the Qt tree tells which module it belongs to. Without it
# (a build that found no Qt, and so compiles no Qt code) such headers in the
# folders that may use Qt Core are not checked.
cmake_minimum_required(VERSION 3.25)
if(NOT DEFINED FLASHMERE_SOURCE_DIR)
  message(FATAL_ERROR "usage: cmake -DFLASHMERE_SOURCE_DIR=<root> -P check_layers.cmake")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/layers.cmake)
set(root "${FLASHMERE_SOURCE_DIR}")

# Splits a row "folder | uses | qt" into layer_folder, layer_uses, layer_qt.
function(parse_layer_row row)
  string(REPLACE "|" ";" cells "${row}")
  list(GET cells 0 folder)
  list(GET cells 1 uses)
  list(GET cells 2 qt)
  string(STRIP "${folder}" folder)
  string(STRIP "${uses}" uses)
  string(STRIP "${qt}" qt)
  string(REGEX REPLACE "[ \t]+" ";" uses "${uses}")
  set(layer_folder "${folder}" PARENT_SCOPE)
  set(layer_uses "${uses}" PARENT_SCOPE)
  set(layer_qt "${qt}" PARENT_SCOPE)
endfunction()

# The Qt modules a folder whose Qt is "core" may include from.
set(core_qt_modules QtCore QtNetwork QtSerialPort)
# Every folder of the table by its last name ("upgrade"), as includes name it.
set(layer_names)
foreach(row IN LISTS FLASHMERE_LAYERS)
  string(REGEX MATCH "^[^ |]+" folder "${row}")
  get_filename_component(name "${folder}" NAME)
  list(APPEND layer_names "${name}")
endforeach()

# Sets `module` to the Qt module a header <name> belongs to: its first folder
# (<QtCore/QString>, <QtWidgets>), else the module folder of QT_HEADERS that
# holds it (<QWidget>), else "" when it cannot be told.
function(qt_module_of name)
  set(module "")
  if(name MATCHES "^(Qt[A-Za-z]+)(/|$)")
    set(module "${CMAKE_MATCH_1}")
  elseif(DEFINED QT_HEADERS AND NOT QT_HEADERS STREQUAL "")
    file(GLOB holders LIST_DIRECTORIES true RELATIVE "${QT_HEADERS}" "${QT_HEADERS}/Qt*/${name}")
    # A header two modules share counts as the one the core may use.
    foreach(holder IN LISTS holders)
      string(REGEX REPLACE "/.*" "" holder "${holder}")
      if(module STREQUAL "" OR holder IN_LIST core_qt_modules)
        set(module "${holder}")
      endif()
    endforeach()
  endif()
  set(module "${module}" PARENT_SCOPE)
endfunction()

# Appends to `violations` what one include line of `file` breaks. A project
# header is checked against the layers however it is written: "upgrade/x.h"
# and <upgrade/x.h> find the same file.
function(check_include_line file line own uses qt)
  if(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
    set(name "${CMAKE_MATCH_1}")
    set(shown "\"${name}\"")
  elseif(line MATCHES "#[ \t]*include[ \t]*<([^>]+)>")
    set(name "${CMAKE_MATCH_1}")
    set(shown "<${name}>")
  else()
    return()
  endif()
  string(REGEX MATCH "^[^/]+/" folder "${name}")
  string(REPLACE "/" "" folder "${folder}")
  if(NOT folder STREQUAL "" AND (shown MATCHES "^\"" OR folder IN_LIST layer_names))
    if(NOT folder STREQUAL own AND NOT folder IN_LIST uses)
      string(REPLACE ";" " " allowed "${uses}")
      list(APPEND violations "${file} includes ${shown}: it may include only ${own} ${allowed}")
    endif()
  elseif(shown MATCHES "^<Q")
    if(qt STREQUAL "none")
      list(APPEND violations "${file} includes ${shown}: this folder is free of Qt")
    elseif(qt STREQUAL "core")
      qt_module_of("${name}")
      if(NOT module STREQUAL "" AND NOT module IN_LIST core_qt_modules)
        list(APPEND violations
             "${file} includes ${shown} (${module}): only the window uses Qt Widgets, Gui or Multimedia")
      endif()
    endif()
  endif()
  set(violations "${violations}" PARENT_SCOPE)
endfunction()

set(violations)
set(tabled)
foreach(row IN LISTS FLASHMERE_LAYERS)
  parse_layer_row("${row}")
  list(APPEND tabled "${layer_folder}")
  get_filename_component(own "${layer_folder}" NAME)
  file(GLOB_RECURSE sources RELATIVE "${root}" "${root}/${layer_folder}/*.h"
       "${root}/${layer_folder}/*.hpp" "${root}/${layer_folder}/*.cpp")
  foreach(file IN LISTS sources)
    file(STRINGS "${root}/${file}" lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS lines)
      check_include_line("${file}" "${line}" "${own}" "${layer_uses}" "${layer_qt}")
    endforeach()
  endforeach()
endforeach()

# A new folder of code needs its row before it builds.
file(GLOB children LIST_DIRECTORIES true RELATIVE "${root}" "${root}/src/*")
foreach(child IN LISTS children)
  if(IS_DIRECTORY "${root}/${child}" AND NOT child IN_LIST tabled)
    list(APPEND violations "${child} has no row in cmake/layers.cmake")
  endif()
endforeach()

if(violations)
  list(LENGTH violations count)
  foreach(violation IN LISTS violations)
    message("layers: ${violation}")
  endforeach()
  message(FATAL_ERROR "layers: ${count} include(s) against the layers in cmake/layers.cmake")
endif()
if(DEFINED STAMP)
  file(TOUCH "${STAMP}")
endif()
