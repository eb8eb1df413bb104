# Packets, UEI payloads, versions, link specifiers, model names; the packet FIFO.
updater_unit(vx_packet LAYER vorlixane
  SOURCES aPacket.cpp aUEI.cpp aVersion.cpp aLinkSpec.cpp aDefs.cpp
  DEPS vx_error)
updater_unit(vx_packetfifo LAYER vorlixane
  SOURCES packetfifo.cpp
  DEPS vx_packet vx_error)
