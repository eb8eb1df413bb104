# Update server client: HTTP(S) GET over libcurl, the server's requests, Base64.
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
updater_unit(upd_server LAYER updater_app
  SOURCES HTTPRequest.cpp UpdateServerRequest.cpp Base64.cpp
  DEPS upd_display vx_packet vx_error PkgConfig::CURL)
