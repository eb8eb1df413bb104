# Packets, UEI payloads, versions, link specifiers, model names; the packet FIFO.
updater_add_test(test_packet
  SOURCES test_packet.cpp test_packet_values.cpp
  LIBS vx_packet vx_error)
updater_add_test(test_packetfifo_handles
  SOURCES test_packetfifo_handles.cpp
  LIBS vx_packetfifo vx_packet vx_error)
# The threaded tests run as whole binaries: a test discovered case by case keeps
# only its first label, and these must carry "concurrent" to run under TSan.
updater_add_test(test_packetfifo
  SOURCES test_packetfifo.cpp
  LIBS vx_packetfifo vx_packet vx_error
  LABELS concurrent
  WRAPPER env)
updater_add_test(test_packetfifo_stress
  SOURCES test_packetfifo_stress.cpp
  LIBS vx_packetfifo vx_packet vx_error
  LABELS concurrent
  WRAPPER env
  TIMEOUT 300)
