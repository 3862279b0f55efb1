# The warnings every target of the project builds with. They are errors in
# the presets developers and CI use (CMAKE_COMPILE_WARNING_AS_ERROR), not in
# a plain build: a packager's compiler or optimisation level may warn where
# ours does not, and that must not stop the build.
function(flashmere_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive-)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                           -Wno-sign-conversion)
  endif()
  # An include against the folder layers (cmake/layers.cmake) is an error too.
  if(TARGET flashmere_layers)
    add_dependencies(${target} flashmere_layers)
  endif()
endfunction()
