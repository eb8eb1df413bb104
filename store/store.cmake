# Firmware files, attribute files and the per-device store folders.
pkg_check_modules(ZLIB REQUIRED IMPORTED_TARGET zlib)

updater_unit(upd_store LAYER updater_app
  SOURCES BirdFile.cpp KeyValueStore.cpp UpdaterStore.cpp AtomicFile.cpp
  DEPS upd_display vx_platform vx_error PkgConfig::ZLIB)
