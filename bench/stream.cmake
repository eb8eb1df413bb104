# COBS+CRC framing throughput; CPU cost of idle serial and socket read loops.
add_executable(bench_stream bench_stream.cpp)
target_link_libraries(bench_stream PRIVATE vx_transport vx_stream vx_cobs vx_packet vx_platform
  vx_error util Threads::Threads)
