# Runs cmake/check_layers.cmake on scratch trees and checks its verdicts.
cmake_minimum_required(VERSION 3.25)

# A tree with one file per entry "path|include line".
function(make_tree name)
  set(root "${SCRATCH}/${name}")
  file(REMOVE_RECURSE "${root}")
  foreach(entry IN LISTS ARGN)
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 path)
    list(GET parts 1 include)
    file(WRITE "${root}/${path}" "#pragma once\n${include}\n")
  endforeach()
endfunction()

# A Qt include tree of a few headers, to tell the module of <QWidget>-style names.
set(qt_headers "${SCRATCH}/qt")
file(REMOVE_RECURSE "${qt_headers}")
foreach(header QtCore/QString QtNetwork/QTcpSocket QtWidgets/QWidget QtWidgets/QMainWindow)
  file(WRITE "${qt_headers}/${header}" "")
endforeach()

# Runs the checker on a tree; `expect` is "pass" or the text the failure must show.
function(expect_verdict name expect)
  execute_process(COMMAND ${CMAKE_COMMAND} -DFLASHMERE_SOURCE_DIR=${SCRATCH}/${name}
                          -DQT_HEADERS=${qt_headers} -P ${CHECKER}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(expect STREQUAL "pass")
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${name}: the check failed a tree that keeps the layers:\n${out}")
    endif()
  elseif(status EQUAL 0)
    message(FATAL_ERROR "${name}: the check passed a tree that breaks the layers")
  else()
    string(FIND "${out}" "${expect}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${name}: the failure does not say \"${expect}\":\n${out}")
    endif()
  endif()
endfunction()

set(keeps_layers
    "src/link/clock.h|#include <cstdint>"
    "src/operator/panel.h|#include \"link/clock.h\""
    "src/operator/steps.h|#include <link/clock.h>"
    "src/firmware/header.h|#include \"firmware/image.h\""
    "src/firmware/image.h|#include \"link/clock.h\""
    "src/device/session.h|#include \"operator/panel.h\""
    "src/frontend/texts.h|#include <QString>"
    "src/frontend/socket.h|#include <QTcpSocket>"
    "src/shell/window.h|#include <QMainWindow>"
    "cli/main.cpp|#include \"frontend/texts.h\""
    "sim/sim.cpp|#include \"sim_bus.h\"")
make_tree(good ${keeps_layers})
expect_verdict(good pass)

make_tree(upward ${keeps_layers} "src/firmware/selection.h|#include \"upgrade/message_row.h\"")
expect_verdict(upward "src/firmware/selection.h includes \"upgrade/message_row.h\"")

make_tree(upward_angled ${keeps_layers} "src/device/rows.h|#include <upgrade/upgrade_run.h>")
expect_verdict(upward_angled "src/device/rows.h includes <upgrade/upgrade_run.h>")

make_tree(sibling ${keeps_layers} "cli/texts.cpp|#  include \"shell/message_table.h\"")
expect_verdict(sibling "cli/texts.cpp includes \"shell/message_table.h\"")

make_tree(qt_in_core ${keeps_layers} "src/device/names.h|#include <QString>")
expect_verdict(qt_in_core "src/device/names.h includes <QString>")

make_tree(widgets ${keeps_layers} "src/frontend/box.h|#include <QtWidgets/QLineEdit>")
expect_verdict(widgets "src/frontend/box.h includes <QtWidgets/QLineEdit>")

make_tree(widgets_class ${keeps_layers} "cli/panel.h|#include <QWidget>")
expect_verdict(widgets_class "cli/panel.h includes <QWidget>")

make_tree(new_folder ${keeps_layers} "src/extra/thing.h|#include \"link/clock.h\"")
expect_verdict(new_folder "src/extra has no row")
