# Packets, UEI payloads, versions, link specifiers, model names; the packet FIFO.
updater_add_test(test_packet
  SOURCES test_packet.cpp test_packet_values.cpp
  LIBS vx_packet vx_error)
updater_add_test(test_packetfifo
  SOURCES test_packetfifo.cpp
  LIBS vx_packetfifo vx_packet vx_error
  LABELS concurrent)
updater_add_test(test_packetfifo_handles
  SOURCES test_packetfifo_handles.cpp
  LIBS vx_packetfifo vx_packet vx_error)
updater_add_test(test_packetfifo_stress
  SOURCES test_packetfifo_stress.cpp
  LIBS vx_packetfifo vx_packet vx_error
  LABELS concurrent
  TIMEOUT 300)
