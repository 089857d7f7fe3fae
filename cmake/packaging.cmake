# The artifacts a user downloads, made by cpack from the install rules (cpack --preset win, or
# cpack --preset release for Linux), named with the project version:
#   KorvaneUpdater-<version>-win64.zip             KorvaneUpdater.exe, korvane-update.exe, README.md, SHA256SUMS
#   korvane-update-<version>-linux-<arch>.tar.gz   bin/korvane-update, README.md, SHA256SUMS
# Each has a .sha256 file of its own next to it.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)

# SHA256SUMS in the format sha256sum -c reads, over every file installed before this rule runs
# (install rules run in the order they are declared, and this file is included last).
install(CODE [[
  set(kv_sums "")
  foreach(kv_file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
    file(RELATIVE_PATH kv_name "${CMAKE_INSTALL_PREFIX}" "${kv_file}")
    file(SHA256 "$ENV{DESTDIR}${kv_file}" kv_hash)
    string(APPEND kv_sums "${kv_hash}  ${kv_name}\n")
  endforeach()
  message(STATUS "Installing: $ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/SHA256SUMS")
  file(WRITE "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/SHA256SUMS" "${kv_sums}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_PREFIX}/SHA256SUMS")
]])

set(CPACK_PACKAGE_VENDOR "Quenbyware")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for Korvane USB serial devices")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_PACKAGE_NAME KorvaneUpdater)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME KorvaneUpdater-${PROJECT_VERSION}-win64)
else()
  set(CPACK_PACKAGE_NAME korvane-update)
  set(CPACK_GENERATOR TGZ)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" kv_system)
  set(CPACK_PACKAGE_FILE_NAME korvane-update-${PROJECT_VERSION}-${kv_system})
endif()
include(CPack)
