# The Windows build's tests run under Wine, a real Win32 host. Without Wine
# this fails at configure time rather than skipping anything.
find_program(WINE_PROGRAM NAMES wine wine64)
if(NOT WINE_PROGRAM)
  message(FATAL_ERROR "Wine is needed to run the Windows tests: apt-get install wine64")
endif()

set(wine_env ${CMAKE_CURRENT_SOURCE_DIR}/wine/wine-env.sh ${CMAKE_BINARY_DIR})

add_test(NAME wine_setup COMMAND ${wine_env} setup)
set_tests_properties(wine_setup PROPERTIES FIXTURES_SETUP wine)
add_test(NAME wine_stop COMMAND ${wine_env} stop)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)

# A tool of the tests (and of scripts/render-pictures.sh): plays the user of MirroletV2.exe.
set(box_driver_dir ${PROJECT_SOURCE_DIR}/tools/box_driver)
add_library(box_driver STATIC ${box_driver_dir}/box_driver.cpp)
target_include_directories(box_driver PUBLIC ${box_driver_dir})
target_link_libraries(box_driver PUBLIC user32 gdi32)
target_compile_definitions(box_driver PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_options(box_driver INTERFACE -static)
mirrolet_warnings(box_driver)
add_executable(box_driver_cli ${box_driver_dir}/main.cpp)
set_target_properties(box_driver_cli PROPERTIES OUTPUT_NAME box_driver)
target_link_options(box_driver_cli PRIVATE -municode)
target_link_libraries(box_driver_cli PRIVATE box_driver)
mirrolet_warnings(box_driver_cli)

# What a planted external manifest would load into the run.
add_library(planted_uxtheme SHARED e2e/planted_dll.cpp)
# In a folder of its own beside the tests, so that it is never their own uxtheme.dll.
set_target_properties(planted_uxtheme PROPERTIES OUTPUT_NAME uxtheme PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/planted)
target_link_options(planted_uxtheme PRIVATE -static)

add_executable(mirrolet_e2e e2e/scenario_test.cpp e2e/run_win32.cpp e2e/resource_test.cpp e2e/relaunch_test.cpp test_main.cpp
  ${host_fixture})
target_compile_definitions(mirrolet_e2e PRIVATE MIRROLET_PLANTED_DLL)
target_link_libraries(mirrolet_e2e PRIVATE box_driver mirrolet_host mirrolet_update mirrolet_pack gtest version)
add_dependencies(mirrolet_e2e mirrolet planted_uxtheme case_files)
target_include_directories(mirrolet_e2e PRIVATE ${PROJECT_SOURCE_DIR}/res ${CMAKE_CURRENT_SOURCE_DIR})
mirrolet_warnings(mirrolet_e2e)

target_link_options(mirrolet_tests PRIVATE -static)
foreach(test_program mirrolet_tests mirrolet_e2e)
  set_target_properties(${test_program} PROPERTIES CROSSCOMPILING_EMULATOR "${wine_env};run")
  add_test(NAME ${test_program} COMMAND ${test_program})
  set_tests_properties(${test_program} PROPERTIES FIXTURES_REQUIRED wine)
endforeach()

include(kit/Kit.cmake)

# The release: the shipped exes built again elsewhere give the same bytes, and
# the signed MirroletV2.exe still passes the resource and an update scenario.
add_test(NAME reproducible_build COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-reproducible.sh ${CMAKE_BINARY_DIR})
add_test(NAME signed_exe COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/release/signed_exe_test.sh
  ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR} $<TARGET_FILE:mirrolet> $<TARGET_FILE:mirrolet_e2e>)
set_tests_properties(signed_exe PROPERTIES FIXTURES_REQUIRED wine)
# The end-to-end runs and the signed exe's own update both register the
# products in the prefix's one registry: never at the same time.
set_tests_properties(mirrolet_e2e signed_exe PROPERTIES RESOURCE_LOCK wine_products)
