# The packet assembler fed arbitrary bytes.
updater_add_fuzzer(fuzz_packet_assembler
  SOURCES fuzz_packet_assembler.cpp
  LIBS vx_packet vx_error)
