# bench/bench_<name>.cpp -> executable bench_<name> (Google Benchmark).
find_package(benchmark REQUIRED)
file(GLOB bench_srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/bench_*.cpp)
foreach(src ${bench_srcs})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  # tests/ for the protocol simulators some benchmarks drive
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE smsgw_all benchmark::benchmark_main)
  target_compile_options(${name} PRIVATE ${SMSGW_TEST_WARNING_FLAGS})
endforeach()
# The accounting benchmark starts the tests' accounting service script.
if(TARGET bench_quotas)
  target_compile_definitions(bench_quotas PRIVATE SMSGW_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()

# Tools of the end-to-end link benchmark (bench/link_smpp.sh): plain programs.
foreach(name smsc_fast fill_queue esme_fast)
  add_executable(${name} ${CMAKE_SOURCE_DIR}/bench/${name}.cpp)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE smsgw_all)
  target_compile_options(${name} PRIVATE ${SMSGW_TEST_WARNING_FLAGS})
endforeach()
