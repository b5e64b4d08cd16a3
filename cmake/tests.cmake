# One unit-test executable per module (tests/<dir>/*.cpp), one for the
# black-box system tests (tests/system), one for interoperability tests
# against independent peers (tests/interop). Each test case is its own CTest
# entry so that ctest -j runs them in parallel.
find_package(GTest REQUIRED)
include(GoogleTest)

# SMSGW_TEST_ONLY (a list of executable names) limits the unit-test
# executables configured, e.g. to the threaded modules for the
# ThreadSanitizer stage; empty means all.
set(SMSGW_TEST_ONLY "" CACHE STRING "Unit-test executables to configure (empty: all)")

function(smsgw_test_exe name label pattern_dir mode)
  if(SMSGW_TEST_ONLY AND NOT name IN_LIST SMSGW_TEST_ONLY)
    return()
  endif()
  if(mode STREQUAL "RECURSE")
    file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${pattern_dir}/*.cpp)
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${pattern_dir}/*.cpp)
  endif()
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE SMSGW_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  target_compile_options(${name} PRIVATE ${SMSGW_TEST_WARNING_FLAGS})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS ${label} TIMEOUT 600)
endfunction()

smsgw_test_exe(test_platform  unit platform      FLAT    platform)
smsgw_test_exe(test_support   unit support       FLAT    support)
smsgw_test_exe(test_charset   unit radio/charset FLAT    charset)
smsgw_test_exe(test_protocols unit protocols     RECURSE protocols)
smsgw_test_exe(test_frame     unit frame         FLAT    frame)
smsgw_test_exe(test_records   unit records       FLAT    records)
smsgw_test_exe(test_store     unit store         FLAT    store)
smsgw_test_exe(test_delivery  unit delivery      FLAT    delivery)
smsgw_test_exe(test_inbound   unit inbound       FLAT    inbound)
smsgw_test_exe(test_links     unit links         RECURSE links)
smsgw_test_exe(test_radio     unit radio         FLAT    radio)
smsgw_test_exe(test_wbxml     unit wbxml         FLAT    wbxml)
smsgw_test_exe(test_mms       unit mms           FLAT    mms)
smsgw_test_exe(test_php       unit php           FLAT    php)
smsgw_test_exe(test_frontends unit frontends     RECURSE    frontends)

if(NOT SMSGW_SANITIZE)
  smsgw_test_exe(test_system  system  system  RECURSE smsgw_all)
  smsgw_test_exe(test_interop interop interop RECURSE smsgw_all)
  foreach(t test_system test_interop)
    if(TARGET ${t})
      add_dependencies(${t} smsgw)
      target_compile_definitions(${t} PRIVATE SMSGW_BINARY="$<TARGET_FILE:smsgw>")
    endif()
  endforeach()
endif()
