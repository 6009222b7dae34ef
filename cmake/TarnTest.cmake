# Helpers shared by the test and benchmark folders.

find_package(GTest REQUIRED)
include(GoogleTest)

# Adds every immediate subfolder of DIR that has a CMakeLists.txt, so areas can
# add their tests and benchmarks without touching a shared list.
function(tarn_add_subfolders dir)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      file(RELATIVE_PATH rel ${CMAKE_CURRENT_SOURCE_DIR} ${child})
      add_subdirectory(${child} ${CMAKE_CURRENT_BINARY_DIR}/${rel})
    endif()
  endforeach()
endfunction()

# tarn_add_test(NAME SOURCES a.cpp ... LIBS x y ... [LABELS unit|e2e ...] [TIMEOUT s])
# Label "unit" marks fast in-process tests: the sanitizer build runs those.
function(tarn_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    TARN_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TARN_BINARY_DIR="${PROJECT_BINARY_DIR}")
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
endfunction()
