# Request/reply round trips through the link engine beside a raw ping-pong of the same frames,
# over loopback TCP and a COBS pseudo-terminal; CPU of an idle open link.
if(TARGET sim_module)
  add_executable(bench_link bench_link.cpp)
  target_link_libraries(bench_link PRIVATE vx_linkregistry vx_link vx_transport vx_stream vx_cobs
    vx_packetfifo vx_packet vx_platform vx_error sim_module util Threads::Threads)
endif()
