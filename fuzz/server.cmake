# Update server replies through every request's parsing; Base64 decoding of any text.
updater_add_fuzzer(fuzz_server_replies
  SOURCES fuzz_server_replies.cpp
  LIBS upd_server upd_display vx_packet vx_error)
updater_add_fuzzer(fuzz_server_base64
  SOURCES fuzz_server_base64.cpp
  LIBS upd_server upd_display vx_packet vx_error)
