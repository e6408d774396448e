# The core's stages stack: a file of a stage may include its own stage's headers and those of
# the stages below it, never one above. Configuring stops at the first include that runs back
# up, naming the file and the include.
#
# folio_check_layers(ROOT "lowest;...;highest"): ROOT holds one folder per stage. Also runs as
# a script: cmake -DROOT=DIR -DLAYERS=a,b,c -P FolioLayers.cmake
function(folio_check_layers root layers)
  set(_rank 0)
  foreach(_layer IN LISTS layers)
    set(_rank_${_layer} ${_rank})
    math(EXPR _rank "${_rank} + 1")
  endforeach()
  get_filename_component(_top ${root} NAME)
  set(_watch CONFIGURE_DEPENDS) # a file added later is checked on the next build
  if(CMAKE_SCRIPT_MODE_FILE)
    set(_watch)
  endif()
  foreach(_layer IN LISTS layers)
    if(NOT IS_DIRECTORY ${root}/${_layer})
      message(FATAL_ERROR "${root}: no folder for the stage ${_layer}")
    endif()
    file(GLOB_RECURSE _files ${_watch} ${root}/${_layer}/*.h ${root}/${_layer}/*.cpp)
    foreach(_file IN LISTS _files)
      file(STRINGS ${_file} _includes REGEX "^#include \"${_top}/[a-z_]+/")
      foreach(_include IN LISTS _includes)
        string(REGEX REPLACE "^#include \"${_top}/([a-z_]+)/.*" "\\1" _used "${_include}")
        if(NOT DEFINED _rank_${_used})
          message(FATAL_ERROR "${_file}: ${_include} names no stage of ${_top}/")
        endif()
        if(_rank_${_used} GREATER _rank_${_layer})
          # Unwrapped, so the line names the whole path.
          message(NOTICE "${_file}: ${_include} runs back up: ${_layer} stands below ${_used}")
          message(FATAL_ERROR "an include runs back up a stage of ${_top}/")
        endif()
      endforeach()
    endforeach()
  endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED ROOT)
  string(REPLACE "," ";" LAYERS "${LAYERS}")
  folio_check_layers(${ROOT} "${LAYERS}")
endif()
