# Byte streams: the stream object and file streams, COBS coding, serial streams on
# pseudo-terminals, socket streams against a loopback listener.
updater_add_test(test_stream
  SOURCES test_stream.cpp
  LIBS vx_stream vx_platform vx_error)
updater_add_test(test_stream_cobs
  SOURCES test_stream_cobs.cpp
  LIBS vx_cobs)
updater_add_test(test_stream_serial
  SOURCES test_stream_serial.cpp
  LIBS vx_transport vx_stream vx_cobs vx_packet vx_platform vx_error util)
# Threaded: registered as one whole binary, since cases discovered one by one keep only
# their first label and this one must carry "concurrent" to run under ThreadSanitizer.
updater_add_test(test_stream_socket
  SOURCES test_stream_socket.cpp
  LIBS vx_transport vx_stream vx_cobs vx_packet vx_platform vx_error
  LABELS concurrent
  WRAPPER env)
