# The Debian package of the program (scripts/package, make package): the
# program as /usr/bin/corvale, its menu entry and icons, its manual page with
# the endpoints it was built for, a copy of the menu entry for the user's
# autostart folder, and the copyright and changelog every package carries.
# Only a build that keeps its settings in the user's configuration directory is
# packaged: an installed program cannot write beside itself in /usr/bin.
if(WIN32 OR NOT TARGET Corvale OR NOT CORVALE_SETTINGS_DIR STREQUAL "config")
  return()
endif()

set(_linux ${CMAKE_SOURCE_DIR}/resources/linux)
set(_made ${CMAKE_BINARY_DIR}/package-files)

# The endpoints as the program was built with them (app/CMakeLists.txt): a
# list of address services, or one echo page (the demo sandbox's address when
# none is named); the DNS server named, else the sandbox's in the demo build,
# else the system's resolvers.
set(CORVALE_PACKAGE_ECHO_HOST ${CORVALE_ECHO_HOST})
set(CORVALE_PACKAGE_DNS_SERVER ${CORVALE_DNS_SERVER})
if(NOT CORVALE_PACKAGE_ECHO_HOST)
  set(CORVALE_PACKAGE_ECHO_HOST ${CORVALE_SANDBOX_ADDRESS})
endif()
if(NOT CORVALE_PACKAGE_DNS_SERVER AND CORVALE_SANDBOX_BUILD)
  set(CORVALE_PACKAGE_DNS_SERVER ${CORVALE_SANDBOX_ADDRESS})
endif()
if(CORVALE_ECHO_SOURCES STREQUAL "public")
  set(_echo_words "the public address services")
  set(CORVALE_PACKAGE_ECHO_ITEM
      ".B Address services\n"
      "ipify, Amazon's checkip, Cloudflare's trace page and IPinfo, over https and\n"
      "in that order: the first acceptable answer counts, and a service that\n"
      "answers 403 or 429 rests for an hour or as long as it asks, at most a day.")
elseif(CORVALE_ECHO_SOURCES)
  set(_echo_words "its own address services")
  string(REPLACE ";" ", " _list "${CORVALE_ECHO_SOURCES}")
  set(CORVALE_PACKAGE_ECHO_ITEM ".B Address services\n${_list}, asked in that order.")
else()
  set(_echo_words "the echo host ${CORVALE_PACKAGE_ECHO_HOST}")
  set(CORVALE_PACKAGE_ECHO_ITEM
      ".B Echo page\n"
      "http://${CORVALE_PACKAGE_ECHO_HOST}/GetMyIP.pl, which must answer with the\n"
      "caller's address between\n"
      ".B BEGINIP\n"
      "and\n"
      ".BR ENDIP ,\n"
      "for example \\%\"BEGINIP203.0.113.7ENDIP\".")
endif()
string(REPLACE ";" "" CORVALE_PACKAGE_ECHO_ITEM "${CORVALE_PACKAGE_ECHO_ITEM}")
if(CORVALE_PACKAGE_DNS_SERVER)
  set(_dns_words "the DNS server ${CORVALE_PACKAGE_DNS_SERVER}")
else()
  set(_dns_words "the system's DNS resolvers")
  set(CORVALE_PACKAGE_DNS_SERVER "The system's resolvers (the nameserver lines of /etc/resolv.conf)")
endif()
# "the echo host 127.7.0.1 and the DNS server 127.7.0.1", for the changelog
# and the description.
set(CORVALE_PACKAGE_BUILT_FOR "${_echo_words} and ${_dns_words}")
set(CORVALE_PACKAGE_DNS_PORT ${CORVALE_DNS_PORT})
set(CORVALE_PACKAGE_SMTP_PORT ${CORVALE_SMTP_PORT})
set(CORVALE_PACKAGE_MAINTAINER "The Corvale developers <corvale@example.org>"
    CACHE STRING "Maintainer of the Debian package: name and address")
# Dates follow SOURCE_DATE_EPOCH when it is set, so that a rebuild can be
# byte-for-byte the same.
string(TIMESTAMP CORVALE_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP CORVALE_PACKAGE_MONTH "%B %Y" UTC)
configure_file(${_linux}/corvale.1.in ${_made}/corvale.1 @ONLY)
configure_file(${_linux}/changelog.in ${_made}/changelog @ONLY)

# Debian keeps manual pages and changelogs compressed, without a time stamp
# in the gzip header.
find_program(CORVALE_GZIP gzip REQUIRED)
foreach(doc corvale.1 changelog)
  add_custom_command(OUTPUT ${_made}/${doc}.gz
    COMMAND ${CORVALE_GZIP} -9nf -k ${doc}
    DEPENDS ${_made}/${doc}
    WORKING_DIRECTORY ${_made}
    COMMENT "Compressing ${doc}")
endforeach()
# The program without its symbols and debugging sections, as Debian ships
# programs (the build tree's program keeps them).
add_custom_command(OUTPUT ${_made}/corvale
  COMMAND ${CMAKE_STRIP} --strip-unneeded --remove-section=.comment --remove-section=.note
          -o ${_made}/corvale $<TARGET_FILE:Corvale>
  DEPENDS Corvale
  COMMENT "Stripping the packaged program")
add_custom_target(corvale_package_files ALL
  DEPENDS ${_made}/corvale ${_made}/corvale.1.gz ${_made}/changelog.gz)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(PROGRAMS ${_made}/corvale DESTINATION bin)
install(FILES ${_linux}/corvale.desktop DESTINATION share/applications)
# The same entry once more, for the user to copy into ~/.config/autostart.
install(FILES ${_linux}/corvale.desktop DESTINATION share/corvale)
foreach(size 16 32 48 128)
  install(FILES ${_linux}/icons/corvale-${size}.png
          DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME corvale.png)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/resources/corvale.png DESTINATION share/icons/hicolor/64x64/apps)
install(FILES ${_linux}/icons/corvale.svg DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${_made}/corvale.1.gz DESTINATION share/man/man1)
install(FILES ${_linux}/copyright ${_made}/changelog.gz DESTINATION share/doc/corvale)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvale)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Corvale developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "public IP address monitor that mails its changes")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Corvale sits in the desktop's notification area and asks a web echo page for\n"
    "this machine's public IP address at an interval the user picks. When the\n"
    "address changes it mails the user directly (an MX lookup for each\n"
    "recipient's domain, then SMTP to its exchangers on port 25) or through the\n"
    "user's own mail account.\n"
    "\n"
    "This package was built for\n"
    "${CORVALE_PACKAGE_BUILT_FOR}.")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CORVALE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the binary needs, as dpkg-shlibdeps finds them: never a list
# kept by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What dpkg-shlibdeps cannot see: the TLS library is loaded when the first
# https page is fetched, and its certificates are the system's authorities;
# libsecret when the mail account's password is first kept or read.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3, ca-certificates, libsecret-1-0")
# corvale_<version>_<arch>.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
