# oc_engine_and_tab(NAME TAB_SOURCES a.cpp ... LINK libs...): the engine library NAME from
# every .cpp of the calling folder except the tab's drawing files, which form NAME_tab (GUI
# builds only). The engine never links the GUI library; the tab links the engine.
function(oc_engine_and_tab name)
  cmake_parse_arguments(E "" "" "TAB_SOURCES;LINK" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(TRANSFORM E_TAB_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  list(REMOVE_ITEM sources ${E_TAB_SOURCES})
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${E_LINK})
  if(OC_BUILD_GUI)
    add_library(${name}_tab STATIC ${E_TAB_SOURCES})
    target_link_libraries(${name}_tab PUBLIC ${name} oc_ui oc_imgui)
  endif()
endfunction()
