# bench/bench_<name>.cpp -> executable bench_<name> (Google Benchmark).
find_package(benchmark REQUIRED)
file(GLOB bench_srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/bench_*.cpp)
foreach(src ${bench_srcs})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE smsgw_all benchmark::benchmark_main)
endforeach()
