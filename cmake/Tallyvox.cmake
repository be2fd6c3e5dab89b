# Helpers shared by every subsystem's CMakeLists.txt.

# Warnings are errors on our own code (never on system headers).
add_library(tallyvox_warnings INTERFACE)
target_compile_options(tallyvox_warnings INTERFACE -Wall -Wextra -Werror)
# g++ 12 at -O3 reports std::string concatenation as overlapping memcpy
# (GCC bug 105329), a false positive; the check is left to clang builds.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(tallyvox_warnings INTERFACE -Wno-restrict)
endif()
# clang checks the lock annotations (base/thread_annotations.h): a member
# reached without its lock, or a function called without the lock it
# REQUIRES, fails the build (`make test-tsan` builds with clang).
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  target_compile_options(tallyvox_warnings INTERFACE -Wthread-safety)
endif()

# tallyvox_library(NAME DIR DEPS...)
# One static library per subsystem, built from every .cc file in DIR. Headers
# are included as "subsystem/path/file.h" relative to src/.
function(tallyvox_library name dir)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${dir}/*.cc)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARGN} PRIVATE tallyvox_warnings)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# tallyvox_test(NAME DIR DEPS...)
# One GoogleTest executable built from every .cc file in DIR; each test case
# becomes its own CTest test named NAME.Suite.Case, discovered when the tests
# run (not at build time, so sanitizer builds do not run the binaries while
# linking). The executable's name in front lets `ctest -R '^NAME\.'` pick one
# suite.
function(tallyvox_test name dir)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${dir}/*.cc)
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main
                                        tallyvox_warnings)
  gtest_discover_tests(${name}
    TEST_PREFIX "${name}."
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    PROPERTIES ENVIRONMENT "TALLYVOX_SOURCE_DIR=${PROJECT_SOURCE_DIR};TALLYVOX_BINARY_DIR=${PROJECT_BINARY_DIR}"
               TIMEOUT 300)
endfunction()

# tallyvox_tool(NAME DIR DEPS...)
function(tallyvox_tool name dir)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${dir}/*.cc)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} tallyvox_warnings)
endfunction()
