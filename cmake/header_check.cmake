# Proves that every public header stands on its own: each *.h gets a unit of
# its own that includes it twice (the second time through its include guard),
# and the units are compiled as part of the default build, so a header that
# leans on what its users happened to include before it breaks the build.
#
#   velmo_header_check(<target> <dir>... [LINK <library>...] [ORDER <header>...])
#
# <dir>: directories searched recursively for *.h, relative to the calling
#   directory; one that does not exist (yet) is skipped.
# LINK: libraries whose include paths, definitions and flags the units use.
# ORDER: headers, relative to the project root, included together in this
#   order in one more unit; for pairs that once clashed in one order only.
#   A header that does not exist is left out.
function(velmo_header_check target)
  cmake_parse_arguments(PARSE_ARGV 1 check "" "" "LINK;ORDER")
  set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/${target})
  set(units)
  foreach(dir IN LISTS check_UNPARSED_ARGUMENTS)
    get_filename_component(dir ${dir} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    if(NOT IS_DIRECTORY ${dir})
      continue()
    endif()
    file(GLOB_RECURSE headers CONFIGURE_DEPENDS ${dir}/*.h)
    foreach(header IN LISTS headers)
      file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR} ${header})
      set(unit ${out_dir}/${name}.cpp)
      file(GENERATE OUTPUT ${unit} CONTENT "#include \"${name}\"\n#include \"${name}\"\n")
      list(APPEND units ${unit})
    endforeach()
  endforeach()

  set(together)
  foreach(name IN LISTS check_ORDER)
    if(EXISTS ${PROJECT_SOURCE_DIR}/${name})
      string(APPEND together "#include \"${name}\"\n")
    endif()
  endforeach()
  if(together)
    set(unit ${out_dir}/order.cpp)
    file(GENERATE OUTPUT ${unit} CONTENT "${together}")
    list(APPEND units ${unit})
  endif()

  if(NOT units)
    return()
  endif()
  add_library(${target} OBJECT ${units})
  # Each header needs a unit of its own; a batch would hide what it lacks.
  set_target_properties(${target} PROPERTIES UNITY_BUILD OFF)
  target_link_libraries(${target} PRIVATE ${check_LINK})
endfunction()
