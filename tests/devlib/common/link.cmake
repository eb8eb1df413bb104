# Link engine and link registry against a scripted far end and the simulated module, over
# loopback TCP and COBS frames on pseudo-terminals.
# Each binary runs as one CTest test (through env): labels given to discovered GoogleTest cases
# lose all but the first, and these must carry "concurrent" to run under ThreadSanitizer.
set(_link_libs vx_linkregistry vx_link vx_transport vx_stream vx_cobs vx_packetfifo vx_packet
    vx_platform vx_error util)
updater_add_test(test_link_engine
  SOURCES test_link_engine.cpp
  LIBS ${_link_libs}
  LABELS concurrent
  WRAPPER env
  TIMEOUT 300)
# Against the simulated module once it is part of the build.
if(TARGET sim_module)
  updater_add_test(test_link_registry
    SOURCES test_link_registry.cpp
    LIBS ${_link_libs} sim_module
    LABELS concurrent
    WRAPPER env
    TIMEOUT 300)
endif()
