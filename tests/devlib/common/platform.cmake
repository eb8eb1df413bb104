# Platform layer: paths and directories, files, then the threaded parts.
updater_add_test(test_platform_paths SOURCES test_platform_paths.cpp LIBS vx_platform vx_error)
updater_add_test(test_platform_files SOURCES test_platform_files.cpp LIBS vx_platform vx_error)
# Run as a whole binary: a test discovered case by case keeps only its first label, and this
# one must carry "concurrent" to run under TSan.
updater_add_test(test_platform_threads SOURCES test_platform_threads.cpp LIBS vx_platform vx_error
  LABELS concurrent WRAPPER env)
