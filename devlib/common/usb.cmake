# USB transport (libusb and the kernel driver's node), the shared libusb context, and the
# discovery entry points with their USB branch.
pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)

set(_usb_sources aUSB.cpp aDiscovery.cpp)
# Network discovery replaces the stand-ins once it is part of the build.
if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/netdiscovery.cmake)
  list(APPEND _usb_sources aDiscoverySeamNetwork.cpp)
endif()
updater_unit(vx_usb LAYER vorlixane
  SOURCES ${_usb_sources}
  DEPS vx_link vx_stream vx_packet vx_platform vx_error PkgConfig::LIBUSB)

# The link registry's USB creator is aStream_CreateUSB above. Object files do not travel through
# target_link_libraries, so the registry's users get them from an archive of this unit: whoever
# links vx_usb directly keeps those objects and takes nothing from the archive.
add_library(vx_usb_archive STATIC $<TARGET_OBJECTS:vx_usb>)
target_link_libraries(vx_usb_archive PUBLIC PkgConfig::LIBUSB Threads::Threads)
target_link_libraries(vx_linkregistry INTERFACE vx_usb_archive)
