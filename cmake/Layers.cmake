# The layers of the source tree, as the build enforces them.
#
#   mirrolet_warnings(target)              our own code builds without warnings
#   mirrolet_layer(target PATHS...)        `target` is one layer's library: built
#                                          like all our code, and what links it sees
#                                          only PATHS (below src/) of its headers
#
# Sources include each other by their path below src/ ("base/utf8.h"). Were src/
# itself on the include path, any file could include any other, and "includes
# point down" would be a habit. Instead each layer exposes a folder of its own
# under the build tree that holds links to just its part of src/, so an include
# of a layer that is not linked does not compile.

# Our own code builds without warnings; third-party code keeps its own flags.
function(mirrolet_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Werror)
  target_link_libraries(${target} PRIVATE mirrolet_build)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
endfunction()

function(mirrolet_layer target)
  set(root ${PROJECT_BINARY_DIR}/layers/${target})
  foreach(path IN LISTS ARGN)
    get_filename_component(parent ${root}/${path} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT EXISTS ${root}/${path})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${path} ${root}/${path} SYMBOLIC)
    endif()
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
    target_link_libraries(${target} INTERFACE mirrolet_build)
  else()
    target_include_directories(${target} PUBLIC ${root})
    target_link_libraries(${target} PUBLIC mirrolet_build)
    mirrolet_warnings(${target})
  endif()
endfunction()
