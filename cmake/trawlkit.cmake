# What every target of the tree shares: the products' compile flags and the
# one way a test is registered.

# Every product (program, library, the objects they are built from) links
# this, PRIVATE, so that a new target cannot miss its flags: no exceptions,
# no RTTI. Tests and benchmarks may use both.
add_library(trawlkit_product INTERFACE)
target_compile_options(trawlkit_product INTERFACE -fno-exceptions -fno-rtti)

# trawlkit_test(AREA.FAMILY COMMAND program [arg...] [SERIAL] [ENVIRONMENT var=value...])
# trawlkit_test(AREA.FAMILY SOURCES file.cc... [LIBRARIES lib...] [ENVIRONMENT ...])
#   One test named AREA.FAMILY, labelled AREA (ctest -L AREA), where exit
#   status 77 means skipped. With SOURCES it first builds them into a
#   GoogleTest program, AREA_FAMILY_test, and runs that. SERIAL: nothing
#   else runs meanwhile.
function(trawlkit_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "SERIAL" "" "COMMAND;SOURCES;LIBRARIES;ENVIRONMENT")
  string(REGEX MATCH "^[a-z]+" area "${name}")
  if(arg_SOURCES)
    string(REPLACE "." "_" program "${name}_test")
    add_executable(${program} ${arg_SOURCES})
    target_link_libraries(${program} PRIVATE ${arg_LIBRARIES} GTest::gtest_main)
    set(arg_COMMAND ${program})
  endif()
  add_test(NAME ${name} COMMAND ${arg_COMMAND})
  set_tests_properties(${name} PROPERTIES LABELS ${area} SKIP_RETURN_CODE 77)
  if(arg_SERIAL)
    set_tests_properties(${name} PROPERTIES RUN_SERIAL ON)
  endif()
  if(arg_ENVIRONMENT)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${arg_ENVIRONMENT}")
  endif()
endfunction()
