# BIRD file loading and the attribute file reader.
updater_add_fuzzer(fuzz_birdfile
  SOURCES fuzz_birdfile.cpp
  LIBS upd_store upd_display vx_platform vx_error)
updater_add_fuzzer(fuzz_attributes
  SOURCES fuzz_attributes.cpp
  LIBS upd_store upd_display vx_platform vx_error
  RUNS 5000)
