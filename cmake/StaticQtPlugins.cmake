# A static Qt (the Windows build) has no plugins to load at run time: each
# program links the ones it uses. The window: the Windows platform, offscreen
# for tests and --version without a desktop, and the native style.
function(flashmere_import_qt_plugins target)
  set(plugins Qt6::QWindowsIntegrationPlugin Qt6::QOffscreenIntegrationPlugin)
  if(TARGET Qt6::QWindowsVistaStylePlugin)
    list(APPEND plugins Qt6::QWindowsVistaStylePlugin)
  endif()
  qt_import_plugins(${target} INCLUDE ${plugins})
endfunction()
