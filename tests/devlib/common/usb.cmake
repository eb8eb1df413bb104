# USB transport and USB discovery.
set(_usb_libs vx_usb vx_linkregistry vx_link vx_transport vx_stream vx_cobs vx_packetfifo
    vx_packet vx_platform vx_error)
# No usbfs at all: runs as it is, without emulation.
updater_add_test(test_usb_nousb
  SOURCES test_usb_nousb.cpp
  LIBS ${_usb_libs})
# Against emulated devices: umockdev must be preloaded from the process start.
if(TARGET sim_usb)
  updater_add_test(test_usb
    SOURCES test_usb.cpp
    LIBS ${_usb_libs} sim_usb
    LABELS concurrent
    WRAPPER umockdev-wrapper)
endif()
# The link engine over emulated USB to the simulated module.
if(TARGET sim_usb)
  updater_add_test(test_usb_link
    SOURCES test_usb_link.cpp
    LIBS ${_usb_libs} sim_usb
    LABELS concurrent
    WRAPPER umockdev-wrapper)
endif()
