# The Debian version of the packages. A packaged station talks to qav-server, the name each
# venue's network or /etc/hosts resolves; a station built for other addresses is another package,
# whose version carries the server's host name (0.1+gate.server for gate-server), so installing
# it over the plain one upgrades. Also runs on its own and prints the version:
#   cmake -DVERSION=0.1 -DSERVER_URL=... -DIMAGE_URL=... -P packageversion.cmake
set(QAV_PACKAGE_ADDRESS "https://qav-server:8470")

function(qav_package_version out version server_url image_url)
  if(server_url STREQUAL QAV_PACKAGE_ADDRESS AND image_url STREQUAL QAV_PACKAGE_ADDRESS)
    set(${out} ${version} PARENT_SCOPE)
    return()
  endif()
  string(REGEX REPLACE "^[A-Za-z]+://(\\[[^]]*\\]|[^:/]*).*$" "\\1" host "${server_url}")
  string(TOLOWER "${host}" host)
  # Letters, digits and dots only: a hyphen would make dpkg read what follows it as a Debian
  # revision (gate-server: revision "server"), an IPv6 address has colons.
  string(REGEX REPLACE "[^a-z0-9.]+" "." host "${host}")
  string(REGEX REPLACE "^[.]+|[.]+$" "" host "${host}")
  if(host STREQUAL "")
    set(host "other")
  endif()
  set(${out} "${version}+${host}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  qav_package_version(v "${VERSION}" "${SERVER_URL}" "${IMAGE_URL}")
  message("${v}")
endif()
