# Warnings, the SIMD baseline and the sanitizer switch shared by every target.
add_compile_options(-Wall -Wextra)
# CI builds turn every warning into an error (scripts/run-tests and scripts/run-tests-aarch64 switch it on).
option(WARNINGS_AS_ERRORS "fail the build on any compiler warning" OFF)
if(WARNINGS_AS_ERRORS)
  add_compile_options(-Werror)
endif()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  # The NEON routines compile through SIMDe; give it SSE4.2 at least.
  add_compile_options(-march=x86-64-v2)
endif()

set(SANITIZE "" CACHE STRING "sanitizers: empty, address (address+undefined) or thread")
if(SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  # GCC's flow analysis under these sanitizers reports std::regex internals as maybe-uninitialized.
  add_compile_options(-Wno-maybe-uninitialized)
  add_link_options(-fsanitize=address,undefined)
elseif(SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT SANITIZE STREQUAL "")
  message(FATAL_ERROR "SANITIZE must be empty, address or thread")
endif()

# Makes the OBJECT library <name>_objects of the given sources and the shared library <name> of it. The objects
# are compiled with hidden visibility: the library exports only what its headers mark (library_export.h).
# Whatever links the objects directly (the library itself, tests of its internals) gets the object files;
# users of the library get its usage requirements.
function(add_exported_library name)
  add_library(${name}_objects OBJECT ${ARGN})
  set_target_properties(${name}_objects PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${name}_objects PUBLIC ${PROJECT_SOURCE_DIR}/cmake/export)
  add_library(${name} SHARED)
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE CXX)
  target_link_libraries(${name} PUBLIC ${name}_objects)
endfunction()

# Registers a GoogleTest executable of one module with its labels (net, slow, threaded).
# Test code is compiled with light optimisation and line tables only: it is most of the build,
# and what it drives (the libraries) keeps the build's own flags. The thread build runs only the
# threaded suites, so it builds only those; the others stay targets that nothing builds by default.
# Slow suites are given a high cost so that a run starts them first instead of ending on them.
function(add_module_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_options(${name} PRIVATE -O1 -g1)
  if(SANITIZE STREQUAL "thread" AND NOT "threaded" IN_LIST T_LABELS)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL TRUE)
    return()
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  if(T_LABELS)
    set(properties "LABELS \"${T_LABELS}\"")
    if("slow" IN_LIST T_LABELS)
      string(APPEND properties " COST 1000")
    endif()
    # Labels are set after discovery: a list passed through PROPERTIES keeps only its first label.
    set(label_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${label_file}"
         "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES ${properties})\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${label_file}")
  endif()
endfunction()
