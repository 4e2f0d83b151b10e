# `cpack -G DEB` in the build directory turns the install tree into a Debian
# package. Library dependencies are read off the installed executables by
# dpkg-shlibdeps, so they follow whichever Qt 6 the build linked against.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VENDOR "Quorvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Finds networked SDR receivers on the local network and edits their network settings")
set(CPACK_PACKAGE_DESCRIPTION
    "Vantrel broadcasts a discovery request over UDP on every network interface,
lists the software-defined radio receivers that answer and lets the user
change their IP address, port, subnet mask, gateway, DHCP use, data
destination and FPGA configuration.
Includes vantrel-cli, which finds and configures receivers from a terminal,
and vantrel-emulator, a stand-in receiver for trying the tool without
hardware.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Vantrel)
set(CPACK_STRIP_FILES ON)

if(NOT DEFINED CPACK_DEBIAN_PACKAGE_MAINTAINER)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quorvane Vantrel maintainers <vantrel@quorvane.invalid>")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(CPACK_GENERATOR DEB)
endif()

include(CPack)
