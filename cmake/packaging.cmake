# The Debian package (cpack -G DEB): both programs, the driver library with
# its headers and pkg-config file, the man page, the udev rule and the bash
# completion, installed below /usr. The run-time dependencies (libusb-1.0,
# libedit, the C and C++ libraries) are worked out by dpkg-shlibdeps from
# the programs themselves.
set(CPACK_PACKAGE_NAME tarnctl)
set(CPACK_PACKAGE_VENDOR "tarnctl developers")
set(CPACK_PACKAGE_CONTACT "tarnctl developers <tarnctl@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "management console of the Corvane automotive-Ethernet switch box")
set(CPACK_PACKAGE_DESCRIPTION "tarnctl talks to a Corvane box over its USB serial converter; tarnctl-sim is the same console on a simulated box. Includes the USB serial driver library libusbserial.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# tarnctl needs libusbserial.so.1, which the package brings itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/usbserial)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_GENERATOR DEB)
include(CPack)
