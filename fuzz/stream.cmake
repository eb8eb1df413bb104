# COBS decoding, and the COBS framing stream's receive and transmit paths.
updater_add_fuzzer(fuzz_cobs_decode
  SOURCES fuzz_cobs_decode.cpp
  LIBS vx_cobs)
updater_add_fuzzer(fuzz_cobs_stream
  SOURCES fuzz_cobs_stream.cpp
  LIBS vx_transport vx_stream vx_cobs vx_packet vx_platform vx_error)
