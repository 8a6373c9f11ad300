# The Debian packages, built from this build tree with
#   cpack --config <build>/CPackConfig.cmake -B <folder>
# one per install component:
#   tarnctl           both programs, man pages, udev rule, bash completion
#   libusbserial1     the shared driver library, named after its SONAME
#   libusbserial-dev  its headers, usbserial.pc and the unversioned link
# Every file below /usr, libraries in the multiarch folder, binaries
# stripped. Run-time dependencies come from dpkg-shlibdeps.

# Who answers for the packages (the Maintainer field and the changelog's
# signature). Set TARNCTL_PACKAGE_MAINTAINER="Name <address>" to sign them
# yourself; otherwise the name and address Debian's own tools use
# (DEBFULLNAME, DEBEMAIL), else the git identity of this source tree, else
# the author of its last commit.
function(tarnctl_default_maintainer out)
  if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
    set(${out} "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>" PARENT_SCOPE)
    return()
  endif()
  find_program(GIT_PROGRAM git)
  if(GIT_PROGRAM)
    execute_process(COMMAND ${GIT_PROGRAM} config user.name WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE name OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_PROGRAM} config user.email WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE email OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(name AND email)
      set(${out} "${name} <${email}>" PARENT_SCOPE)
      return()
    endif()
    execute_process(COMMAND ${GIT_PROGRAM} log -1 --format=%an\ <%ae> WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE author OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(author MATCHES "^[^<]+ <[^@>]+@[^>]+>$")
      set(${out} "${author}" PARENT_SCOPE)
      return()
    endif()
  endif()
  set(${out} "" PARENT_SCOPE)
endfunction()
if(NOT TARNCTL_PACKAGE_MAINTAINER)
  tarnctl_default_maintainer(maintainer)
  set(TARNCTL_PACKAGE_MAINTAINER "${maintainer}" CACHE STRING "Maintainer of the Debian packages: Name <address>")
endif()
if(NOT TARNCTL_PACKAGE_MAINTAINER MATCHES "^[^<]+ <[^@>]+@[^>]+>$")
  message(WARNING "No maintainer for the Debian packages: set -DTARNCTL_PACKAGE_MAINTAINER=\"Name <address>\" "
                  "(or DEBFULLNAME and DEBEMAIL) to build them")
endif()

# The documents every package carries in /usr/share/doc/<package>: the
# licence as a machine-readable copyright file, and the changelog,
# compressed, signed by the maintainer.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX MATCH "^Copyright \\(c\\) ([^\n]+)" _ "${licence}")
set(copyright_holders "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^Copyright[^\n]*\n\n" "" licence "${licence}")
string(REGEX REPLACE "\n+$" "" licence "${licence}")
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence " ${licence}")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}

Files: *
Copyright: ${copyright_holders}
License: Expat
${licence}
")
file(READ ${PROJECT_SOURCE_DIR}/CHANGELOG changelog)
string(REGEX MATCH "^${PROJECT_NAME} \\(([^)]+)\\)" _ "${changelog}")
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(WARNING "CHANGELOG's latest entry is ${CMAKE_MATCH_1}, the project is ${PROJECT_VERSION}: add an entry")
endif()
configure_file(${PROJECT_SOURCE_DIR}/CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
                   COMMAND gzip -9n -f -k ${CMAKE_BINARY_DIR}/packaging/changelog
                   DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)

set(TARNCTL_DEB_PACKAGES tarnctl libusbserial${USBSERIAL_SOVERSION} libusbserial-dev)
set(TARNCTL_COMPONENTS tarnctl lib dev)
foreach(component package IN ZIP_LISTS TARNCTL_COMPONENTS TARNCTL_DEB_PACKAGES)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

# The library package's control files: its shlibs entry, and the ldconfig
# trigger instead of ldconfig in maintainer scripts.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/lib/shlibs
     "libusbserial ${USBSERIAL_SOVERSION} libusbserial${USBSERIAL_SOVERSION} (>= ${PROJECT_VERSION})\n")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/lib/triggers "activate-noawait ldconfig\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The tarnctl developers")
set(CPACK_PACKAGE_CONTACT "${TARNCTL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARNCTL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Install with DESTDIR, so that the install rules see the prefix /usr
# (usbserial.pc is written with it).
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${TARNCTL_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/usbserial)

set(CPACK_DEBIAN_TARNCTL_PACKAGE_NAME tarnctl)
set(CPACK_DEBIAN_TARNCTL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TARNCTL_PACKAGE_DEPENDS "libusbserial${USBSERIAL_SOVERSION} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TARNCTL_PACKAGE_SUGGESTS "udev, bash-completion")
set(CPACK_DEBIAN_TARNCTL_DESCRIPTION "management console of the Corvane automotive-Ethernet switch box
tarnctl finds a Corvane box on USB and talks to its firmware: identification,
link test, power, wake-up line, PHY and switch registers, the switch's tables,
VLANs and mirroring, CAN configuration and trace, EEPROM and the stored
start-up configuration.

tarnctl-sim is the same console on a simulated box, to try the console or
rehearse a script without hardware.")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libusbserial${USBSERIAL_SOVERSION})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# CPack would call ldconfig from maintainer scripts of a package that has a
# shared library it examined; this one's dependencies are worked out by
# dpkg-shlibdeps in packaging-config.cmake instead, and it has the trigger.
set(CPACK_DEBIAN_LIB_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/lib/shlibs
                                           ${CMAKE_BINARY_DIR}/packaging/lib/triggers)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_LIB_DESCRIPTION "USB serial converter driver library over libusb-1.0
libusbserial drives the USB serial converter of a Corvane box (and others of
its family) through libusb-1.0, with the FT_ programming interface: device
list, open and close, line settings, reads and writes with event
notification, modem and CBUS pins.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libusbserial-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libusbserial${USBSERIAL_SOVERSION} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "USB serial converter driver library over libusb-1.0 (development files)
The C headers of libusbserial (usbserial.h, WinTypes.h), its pkg-config file
usbserial.pc and the link, to build programs against the library.")

# At packaging time: the library package's run-time dependencies, from
# dpkg-shlibdeps on the built library.
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/packaging/library-path.cmake
     CONTENT "set(TARNCTL_USBSERIAL_LIBRARY \"$<TARGET_FILE:usbserial>\")\n")
set(TARNCTL_PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging)
configure_file(${CMAKE_CURRENT_LIST_DIR}/packaging-config.cmake.in ${CMAKE_BINARY_DIR}/packaging/config.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/packaging/config.cmake)
include(CPack)
