# fuzz/fuzz_<name>.cpp -> libFuzzer executable fuzz_<name> (clang only).
file(GLOB fuzz_srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/fuzz_*.cpp)
foreach(src ${fuzz_srcs})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE smsgw_all)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
endforeach()
