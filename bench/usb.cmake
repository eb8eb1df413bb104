# Round trips through the link engine over emulated USB beside loopback TCP.
if(TARGET sim_usb)
  add_executable(bench_usb bench_usb.cpp)
  target_link_libraries(bench_usb PRIVATE vx_usb vx_linkregistry vx_link vx_transport vx_stream
    vx_cobs vx_packetfifo vx_packet vx_platform vx_error sim_usb Threads::Threads)
endif()
