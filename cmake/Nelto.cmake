# Project-wide helpers: warnings for our own targets, third-party headers, GoogleTest.

if(NELTO_SANITIZE AND NOT WIN32)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# Our own code builds clean with these; third-party code does not get them.
function(nelto_warnings target)
  # -Wrestrict: GCC 12 reports false overlaps inside std::string concatenation at -O3 (GCC bug 105329).
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wno-restrict)
endfunction()

# nlohmann/json is header-only. The cross compiler must not see /usr/include as a whole, so the
# package's folder is copied into the build tree and used from there by both builds.
set(NELTO_THIRD_PARTY_INCLUDE "${CMAKE_BINARY_DIR}/third_party/include")
if(NOT EXISTS "${NELTO_THIRD_PARTY_INCLUDE}/nlohmann/json.hpp")
  if(NOT EXISTS /usr/include/nlohmann/json.hpp)
    message(FATAL_ERROR "nlohmann/json is missing: run tools/setup")
  endif()
  file(COPY /usr/include/nlohmann DESTINATION "${NELTO_THIRD_PARTY_INCLUDE}")
endif()
add_library(nelto_json INTERFACE)
target_include_directories(nelto_json SYSTEM INTERFACE "${NELTO_THIRD_PARTY_INCLUDE}")

# GoogleTest from Debian's sources, built by each build with its own compiler.
set(NELTO_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${NELTO_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

include(GoogleTest)

# Windows programs, libraries and test programs share one folder, as they do when installed, so
# that tests find the programs they start beside themselves.
if(WIN32)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()

# A test program of our own. Native ones are discovered case by case; Windows ones run as one
# CTest test each under Wine (discovery would start Wine once more per program at build time).
function(nelto_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  nelto_warnings(${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(WIN32)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} FIXTURES_REQUIRED wine
                         WORKING_DIRECTORY $<TARGET_FILE_DIR:${name}>)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
endfunction()
