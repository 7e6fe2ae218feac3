# One library per folder: include/ holds the public headers, src/ the sources, tests/ the
# GoogleTest suite and bench/ the micro-benchmarks. Sources are globbed so that adding a file
# needs no edit here.

function(kro_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(KRO_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# kro_add_tests(<target> <sources...> LIBS <libs...>)
function(kro_add_tests name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT KRO_BUILD_TESTS OR NOT ARG_SOURCES)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  kro_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 600)
endfunction()

function(kro_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
  kro_warnings(${name})

  file(GLOB_RECURSE tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  kro_add_tests(${name}_tests SOURCES ${tests} LIBS ${name})

  file(GLOB_RECURSE benches CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bench/*.cpp)
  if(KRO_BUILD_BENCHMARKS AND benches)
    add_executable(${name}_bench ${benches})
    target_link_libraries(${name}_bench PRIVATE ${name} benchmark::benchmark_main)
    kro_warnings(${name}_bench)
  endif()
endfunction()
