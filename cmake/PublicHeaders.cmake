# oc_public_headers(TARGET FOLDER [BASE dir] [ONLY a.h ...] [EXCLUDE a.h ...])
#
# Gives TARGET an include root of its own that holds only its headers, as
# <build>/include/<TARGET>/<FOLDER>/<header> (a link to the header in <BASE>/<FOLDER>, BASE
# being src/ unless told). Code sees `#include "FOLDER/header.h"` only when it links TARGET, so
# the layers are kept by the compiler: capture cannot include probe, an engine cannot include
# its views, the shell or the GUI library's wrappers. Without ONLY every header directly in the
# folder is public (subfolders are other libraries: flow/view is the Flow tab's), less EXCLUDE.
function(oc_public_headers target folder)
  cmake_parse_arguments(H "" "BASE" "ONLY;EXCLUDE" ${ARGN})
  if(NOT H_BASE)
    set(H_BASE ${CMAKE_SOURCE_DIR}/src)
  endif()
  set(dir ${H_BASE}/${folder})
  if(H_ONLY)
    set(headers ${H_ONLY})
  else()
    file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${dir} ${dir}/*.h)
    if(H_EXCLUDE)
      list(REMOVE_ITEM headers ${H_EXCLUDE})
    endif()
  endif()
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  # Made anew at every configure, so a header that left the library leaves its root too.
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/${folder})
  foreach(h ${headers})
    if(NOT EXISTS ${dir}/${h})
      message(FATAL_ERROR "oc_public_headers(${target}): no ${folder}/${h}")
    endif()
    file(CREATE_LINK ${dir}/${h} ${root}/${folder}/${h} SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  elseif(type STREQUAL "EXECUTABLE")
    target_include_directories(${target} PRIVATE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
