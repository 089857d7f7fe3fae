# The artifacts a user downloads, made by cpack from the install rules (cpack --preset win, or
# cpack --preset release for Linux), named with the project version:
#   KorvaneUpdater-<version>-win64.zip             KorvaneUpdater.exe, korvane-update.exe, README.md, SHA256SUMS
#   korvane-update-<version>-linux-<arch>.tar.gz   bin/korvane-update, udev/60-korvane-update.rules,
#                                                  README.md, SHA256SUMS
# Each has a .sha256 file of its own next to it.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Access for the logged-in user and no ModemManager on the usual adapters (README, Linux).
  install(FILES ${PROJECT_SOURCE_DIR}/resources/linux/60-korvane-update.rules DESTINATION udev)
endif()

# Authenticode signatures of the Windows programs, when the release is given a certificate (README,
# "Signed releases"): KV_SIGN_PKCS12 names a PKCS#12 file with the certificate and its private key,
# KV_SIGN_PASSWORD holds its password, KV_SIGN_TIMESTAMP_URL optionally names a time-stamping server.
# They are read when the package is made: after the programs are installed and stripped, before the
# sums and the zip. Without KV_SIGN_PKCS12 the programs stay unsigned.
if(WIN32)
  find_program(KV_OSSLSIGNCODE osslsigncode)
  install(CODE "set(kv_osslsigncode \"${KV_OSSLSIGNCODE}\")\nset(kv_sign_dir \"${PROJECT_BINARY_DIR}/signing\")")
  install(CODE [[
    if(NOT "$ENV{KV_SIGN_PKCS12}" STREQUAL "")
      if(NOT kv_osslsigncode)
        message(FATAL_ERROR "KV_SIGN_PKCS12 is set, but osslsigncode was not found (Debian: apt-get install osslsigncode)")
      endif()
      # The password goes to osslsigncode in a file only this user can read, not on its command line.
      file(REMOVE_RECURSE "${kv_sign_dir}")
      file(MAKE_DIRECTORY "${kv_sign_dir}")
      file(CHMOD "${kv_sign_dir}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
      file(WRITE "${kv_sign_dir}/password" "$ENV{KV_SIGN_PASSWORD}")
      set(kv_timestamp)
      if(NOT "$ENV{KV_SIGN_TIMESTAMP_URL}" STREQUAL "")
        set(kv_timestamp -ts "$ENV{KV_SIGN_TIMESTAMP_URL}")
      endif()
      foreach(kv_file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
        if(NOT kv_file MATCHES "\\.exe$")
          continue()
        endif()
        set(kv_path "$ENV{DESTDIR}${kv_file}")
        message(STATUS "Signing: ${kv_path}")
        execute_process(COMMAND "${kv_osslsigncode}" sign -pkcs12 "$ENV{KV_SIGN_PKCS12}"
            -readpass "${kv_sign_dir}/password" -h sha256 -n "Korvane firmware updater" ${kv_timestamp}
            -in "${kv_path}" -out "${kv_path}.signed"
          RESULT_VARIABLE kv_status OUTPUT_VARIABLE kv_output ERROR_VARIABLE kv_output)
        if(NOT kv_status EQUAL 0)
          file(REMOVE_RECURSE "${kv_sign_dir}" "${kv_path}.signed")
          message(FATAL_ERROR "signing ${kv_path} failed:\n${kv_output}")
        endif()
        file(RENAME "${kv_path}.signed" "${kv_path}")
      endforeach()
      file(REMOVE_RECURSE "${kv_sign_dir}")
    endif()
  ]])
endif()

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
