# The check kit, Mirrolet-checks-<version>-win64.zip, which the package target
# makes beside the release zip: the Windows test programs, the case files they
# read, the box driver, the kit's helper, the exes as shipped and
# run-checks.cmd, which runs every suite on the Windows it is unzipped on.
# Nothing in it reads the source tree or this build folder.
add_executable(check_helper kit/check_helper.cpp)
target_link_options(check_helper PRIVATE -municode)
target_link_libraries(check_helper PRIVATE mirrolet_host)
mirrolet_warnings(check_helper)
add_dependencies(mirrolet_tests check_helper)
add_dependencies(mirrolet_e2e check_helper)

install(TARGETS mirrolet_tests mirrolet_e2e box_driver_cli check_helper RUNTIME DESTINATION ${MIRROLET_CHECKS_ROOT}/tests COMPONENT checks)
foreach(file IN LISTS case_files)
  get_filename_component(folder ${file} DIRECTORY)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/${file} DESTINATION ${MIRROLET_CHECKS_ROOT}/tests/${folder} COMPONENT checks)
endforeach()
install(FILES ${program_seeds} DESTINATION ${MIRROLET_CHECKS_ROOT}/tests/programs COMPONENT checks)
install(TARGETS planted_uxtheme RUNTIME DESTINATION ${MIRROLET_CHECKS_ROOT}/tests/planted COMPONENT checks)
# cmd wants CRLF line ends.
configure_file(kit/run-checks.cmd ${CMAKE_CURRENT_BINARY_DIR}/run-checks.cmd @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/run-checks.cmd DESTINATION ${MIRROLET_CHECKS_ROOT} COMPONENT checks)

# The kit as it ships, unzipped outside the build and run by itself under Wine.
add_test(NAME checks_kit COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/kit/kit_test.sh ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR}
  ${CMAKE_CURRENT_SOURCE_DIR}/wine/wine-env.sh)
set_tests_properties(checks_kit PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK wine_products)
