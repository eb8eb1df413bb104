# Link engine (framing, synchronisation, heartbeats, pooled writing, packet log) and the link
# registry with its creators.
updater_unit(vx_link LAYER vorlixane
  SOURCES aLink.cpp
  DEPS vx_stream vx_packetfifo vx_packet vx_platform vx_error)

# The stand-ins answer "not found" until the real transports are linked; the USB one goes away
# as soon as the USB transport is part of the build.
set(_link_seams aLinkSeamClient.cpp)
if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/usb.cmake)
  list(APPEND _link_seams aLinkSeamUSB.cpp)
endif()
updater_unit(vx_linkregistry LAYER vorlixane
  SOURCES aLinkRegistry.cpp ${_link_seams}
  DEPS vx_link vx_transport vx_stream vx_packetfifo vx_packet vx_platform vx_error)
