# Byte streams and their transports.
#   vx_stream     the stream object and the file streams
#   vx_cobs       COBS coding and CRC-8 (no dependencies)
#   vx_transport  serial, socket and COBS framing streams
updater_unit(vx_stream LAYER vorlixane
  SOURCES aStream.cpp
  DEPS vx_platform vx_error)
updater_unit(vx_cobs LAYER vorlixane
  SOURCES aCobs.cpp)
updater_unit(vx_transport LAYER vorlixane
  SOURCES aStreamCobs.cpp aStreamSerial.cpp aStreamSocket.cpp
  DEPS vx_stream vx_cobs vx_packet vx_error)
