# Hand-over cost of the packet FIFO.
add_executable(bench_packetfifo bench_packetfifo.cpp)
target_link_libraries(bench_packetfifo PRIVATE vx_packetfifo vx_packet vx_error Threads::Threads)
