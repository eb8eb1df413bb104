# Reading, patching and decoding BIRD files; attribute file load and save.
add_executable(bench_birdfile bench_birdfile.cpp)
target_link_libraries(bench_birdfile PRIVATE upd_store upd_display vx_platform vx_error sim_birdfile)
