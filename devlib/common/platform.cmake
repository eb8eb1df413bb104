# Platform layer: directories and paths, files, mutexes, threads, time, the logger thread.
updater_unit(vx_platform LAYER vorlixane
  SOURCES aDirectory.cpp aFile.cpp aMutex.cpp aThread.cpp aTime.cpp aLogger.cpp BuildPath.cpp
  DEPS vx_error)
