# krv_add_gtk3_module(MANAGER PACKAGE FOLDER): builds korvane-MANAGER, this
# folder's module source compiled against the file manager's extension-api.h
# (in the calling folder) and its pkg-config PACKAGE, into
# lib/MANAGER/FOLDER of the build tree (where scripts/lib/fm-session finds
# it) and installed into the folder PACKAGE's extensiondir names. Built only
# when the file manager's extension headers are installed, and never in a
# sanitizer build: the file manager itself is not instrumented, so a
# sanitized module could not be loaded into it.
function(krv_add_gtk3_module manager package folder)
  # pkg-config's results are cached under the prefix: one per file manager.
  string(TOUPPER ${manager}_EXTENSION prefix)
  pkg_check_modules(${prefix} IMPORTED_TARGET ${package})
  if(NOT ${prefix}_FOUND OR KRV_SANITIZE)
    return()
  endif()

  set(target korvane-${manager})
  set(shared ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
  add_library(${target} MODULE ${shared}/module.cpp ${shared}/badges.cpp ${shared}/menus.cpp)
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE krv_fmcore PkgConfig::${prefix})
  # The file manager looks up only the module entry points; everything else
  # stays inside, so the core's symbols cannot clash with another module's.
  set_target_properties(${target} PROPERTIES
    PREFIX "lib"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib/${manager}/${folder})
  target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,--exclude-libs,ALL)

  pkg_get_variable(extension_dir ${package} extensiondir)
  install(TARGETS ${target} LIBRARY DESTINATION ${extension_dir} COMPONENT ${manager})
  set_property(GLOBAL APPEND PROPERTY KRV_FILE_MANAGER_COMPONENTS ${manager})
endfunction()
