# The module's back-end libraries, and every shared library of this project
# they link, live in a private folder below the library folder
# (HX_PRIVATE_SUBDIR): their file names (libntdll.so, ...) are fixed by the
# back-end contract and too generic for the public library folder. The
# module's RUNPATH=$ORIGIN/${HX_PRIVATE_SUBDIR} finds them, in the build tree
# and installed alike.

# Appends to `out_var` the shared libraries of this project that `target`
# links, directly or through its static libraries.
function(hx_collect_shared_links target out_var)
  set(found ${${out_var}})
  get_target_property(links ${target} LINK_LIBRARIES)
  foreach(dep IN LISTS links)
    if(NOT TARGET ${dep})
      continue()
    endif()
    get_target_property(imported ${dep} IMPORTED)
    get_target_property(type ${dep} TYPE)
    if(imported OR dep IN_LIST found)
      continue()
    endif()
    if(type STREQUAL "SHARED_LIBRARY")
      list(APPEND found ${dep})
      hx_collect_shared_links(${dep} found)
    elseif(type STREQUAL "STATIC_LIBRARY" OR type STREQUAL "OBJECT_LIBRARY")
      hx_collect_shared_links(${dep} found)
    endif()
  endforeach()
  set(${out_var} ${found} PARENT_SCOPE)
endfunction()

# Sets `out_var` to the back-end targets given and the project's shared
# libraries they need, and builds them all into `dir`.
function(hx_place_private_libraries out_var dir)
  set(all ${ARGN})
  foreach(t IN LISTS ARGN)
    hx_collect_shared_links(${t} all)
  endforeach()
  list(REMOVE_DUPLICATES all)
  if(all)
    set_target_properties(${all} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${dir})
  endif()
  set(${out_var} ${all} PARENT_SCOPE)
endfunction()
