# The Updater orchestration: one source per operation group.
updater_unit(upd_updater LAYER updater_app
  SOURCES Updater.cpp UpdaterAcquire.cpp UpdaterDiscovery.cpp UpdaterRecovery.cpp
  DEPS upd_display upd_store vx_error)
