# Platform layer: paths and directories, files, then the threaded parts.
updater_add_test(test_platform_paths SOURCES test_platform_paths.cpp LIBS vx_platform vx_error)
updater_add_test(test_platform_files SOURCES test_platform_files.cpp LIBS vx_platform vx_error)
updater_add_test(test_platform_threads SOURCES test_platform_threads.cpp LIBS vx_platform vx_error
  LABELS concurrent)
