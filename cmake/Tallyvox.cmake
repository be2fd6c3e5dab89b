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
# One static library per module, built from every .cc file in DIR (a folder
# below the calling CMakeLists.txt). Headers are included as "DIR/file.h".
# Only the module's own folder is on its public include path: the build makes
# ${build}/include/NAME/DIR a link to the folder and exports
# ${build}/include/NAME, so a module (or a test, tool or program) sees the
# headers of the targets it links and no others; src/ is on no include path.
function(tallyvox_library name dir)
  set(include_root ${PROJECT_BINARY_DIR}/include/${name})
  get_filename_component(link_parent ${include_root}/${dir} DIRECTORY)
  file(MAKE_DIRECTORY ${link_parent})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${dir} ${include_root}/${dir} SYMBOLIC)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${dir}/*.cc)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${include_root})
    target_link_libraries(${name} PUBLIC ${ARGN} PRIVATE tallyvox_warnings)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${include_root})
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
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main
                                        tallyvox_warnings)
  # Labels by suite (tests/labels.cmake): NAME_unit_suites and NAME_x11_suites
  # from the caller, every other suite `peer`.
  set(peer_filter "-")
  foreach(label unit x11)
    set(filter "")
    foreach(suite ${${name}_${label}_suites})
      string(APPEND filter "${suite}.*:*/${suite}.*:")
    endforeach()
    if(filter)
      string(APPEND peer_filter "${filter}")
      tallyvox_discover(${name} ${label} "${filter}")
    endif()
  endforeach()
  tallyvox_discover(${name} peer "${peer_filter}")
endfunction()

# The tests of one executable that `filter` (a GoogleTest filter) selects,
# labelled `label`.
function(tallyvox_discover name label filter)
  gtest_discover_tests(${name}
    TEST_PREFIX "${name}."
    TEST_FILTER "${filter}"
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    PROPERTIES LABELS ${label}
               ENVIRONMENT "TALLYVOX_SOURCE_DIR=${PROJECT_SOURCE_DIR};TALLYVOX_BINARY_DIR=${PROJECT_BINARY_DIR}"
               TIMEOUT 300)
endfunction()

# tallyvox_tool(NAME DIR DEPS...)
function(tallyvox_tool name dir)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${dir}/*.cc)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} tallyvox_warnings)
endfunction()
