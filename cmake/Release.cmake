# What Varnholt ships from the Windows build, and how:
#
#   mirrolet_release_exe(target)  marks an exe as shipped: its bytes depend on
#                                 nothing but the source, the sign target signs
#                                 it and the zip holds it. One line per exe.
#   --target sign                 signed copies in build/windows/signed/
#   --target package              Mirrolet-<version>-win64.zip and, when the
#                                 tests are built, the check kit beside it,
#                                 Mirrolet-checks-<version>-win64.zip
#                                 (tests/kit/Kit.cmake)
#
# scripts/check-reproducible.sh builds the shipped exes in other folders and
# compares the bytes.

if(NOT WIN32)
  # The Linux build ships nothing; the exe targets it shares stay as they are.
  function(mirrolet_release_exe target)
  endfunction()
  return()
endif()

# Every install rule without a component of its own goes into the release zip.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME release)
# Each zip holds one folder named as the zip.
set(MIRROLET_RELEASE_ROOT ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
set(MIRROLET_CHECKS_ROOT ${PROJECT_NAME}-checks-${PROJECT_VERSION}-win64)

# No build machine's folders in the binaries: __FILE__ and the like are
# relative to the source tree. windres takes no such option.
target_compile_options(mirrolet_build INTERFACE
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}/=>")

set(MIRROLET_SIGNED_DIR ${PROJECT_BINARY_DIR}/signed)

function(mirrolet_release_exe target)
  # ld writes the link time into the PE header unless told not to; the field
  # stays 0, which Windows does not use.
  target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
  set_property(GLOBAL APPEND PROPERTY MIRROLET_RELEASE_EXES ${target})
  # The check kit holds the exe exactly as the release zip does.
  set(components release)
  if(MIRROLET_BUILD_TESTS)
    list(APPEND components checks)
  endif()
  foreach(component IN LISTS components)
    string(TOUPPER ${component} root)
    install(CODE "
      set(built \"$<TARGET_FILE:${target}>\")
      set(signed \"${MIRROLET_SIGNED_DIR}/$<TARGET_FILE_NAME:${target}>\")
      set(into \"${MIRROLET_${root}_ROOT}\")
      include(\"${CMAKE_CURRENT_FUNCTION_LIST_DIR}/install-exe.cmake\")" COMPONENT ${component})
  endforeach()
endfunction()

# Runs once every directory is read, so exes added anywhere are included.
function(mirrolet_release_targets)
  get_property(exes GLOBAL PROPERTY MIRROLET_RELEASE_EXES)
  set(files "")
  set(names "")
  foreach(target IN LISTS exes)
    list(APPEND files "$<TARGET_FILE:${target}>")
    string(APPEND names "$<TARGET_FILE_NAME:${target}>\n")
  endforeach()
  # For scripts/check-reproducible.sh.
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/release-exes.txt CONTENT "${names}")
  add_custom_target(sign
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/sign.sh ${MIRROLET_SIGNED_DIR} ${files}
    COMMENT "Signing the release exes into ${MIRROLET_SIGNED_DIR}"
    VERBATIM)
  add_dependencies(sign ${exes})
endfunction()
cmake_language(DEFER CALL mirrolet_release_targets)

# A sample update folder: a copy list in code page 950, as Traditional Chinese
# Windows reads it, and the files it names. The list is kept in UTF-8 (CRLF)
# and converted at build time, so the bytes are the same on every machine.
set(sample_source ${PROJECT_SOURCE_DIR}/packaging/sample-update)
set(sample_list ${PROJECT_BINARY_DIR}/sample-update/mirrolet.ini)
add_custom_command(OUTPUT ${sample_list}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/sample-update
  COMMAND iconv -f UTF-8 -t CP950 -o ${sample_list} ${sample_source}/mirrolet.utf-8.ini
  DEPENDS ${sample_source}/mirrolet.utf-8.ini
  VERBATIM)
add_custom_target(sample_update ALL DEPENDS ${sample_list})
install(FILES ${sample_list} ${sample_source}/說明.txt ${sample_source}/功能表.txt DESTINATION ${MIRROLET_RELEASE_ROOT}/sample-update)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR Varnholt)
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_CHECKSUM SHA256)
# One zip per component, each named here.
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_COMPONENTS_ALL release)
set(CPACK_ARCHIVE_RELEASE_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
if(MIRROLET_BUILD_TESTS)
  list(APPEND CPACK_COMPONENTS_ALL checks)
  set(CPACK_ARCHIVE_CHECKS_FILE_NAME ${PROJECT_NAME}-checks-${PROJECT_VERSION}-win64)
endif()
include(CPack)
