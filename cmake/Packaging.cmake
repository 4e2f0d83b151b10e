# `cpack -G DEB` in the build directory turns the install tree into three
# Debian packages: vantrel (the window, desktop entry, icons, metadata),
# vantrel-cli (the command-line tool, which links QtCore and QtNetwork only)
# and vantrel-emulator (the test tool). Library dependencies are read off the
# installed executables by dpkg-shlibdeps, so they follow whichever Qt 6 the
# build linked against.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VENDOR "Quorvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY Vantrel)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# Strip as Debian's own tools do: the compiler's ident (.comment) and notes go
# too. The install rules call CMAKE_STRIP, so this must precede them.
if(UNIX AND NOT APPLE AND CMAKE_STRIP AND NOT CMAKE_STRIP MATCHES "/vantrel-strip$")
    file(WRITE ${PROJECT_BINARY_DIR}/packaging/tmp/vantrel-strip
         "#!/bin/sh\nexec '${CMAKE_STRIP}' --remove-section=.comment --remove-section=.note \"$@\"\n")
    file(COPY ${PROJECT_BINARY_DIR}/packaging/tmp/vantrel-strip
         DESTINATION ${PROJECT_BINARY_DIR}/packaging
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
    set(CMAKE_STRIP ${PROJECT_BINARY_DIR}/packaging/vantrel-strip)
endif()

if(NOT DEFINED CPACK_DEBIAN_PACKAGE_MAINTAINER)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quorvane Vantrel maintainers <vantrel@quorvane.invalid>")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL vantrel cli emulator)

set(CPACK_DEBIAN_VANTREL_PACKAGE_NAME vantrel)
set(CPACK_DEBIAN_VANTREL_PACKAGE_RECOMMENDS vantrel-cli)
set(CPACK_COMPONENT_VANTREL_DESCRIPTION
    "find networked SDR receivers and edit their network settings
Vantrel broadcasts a discovery request over UDP on every network interface,
lists the software-defined radio receivers that answer and lets the user
change their IP address, port, subnet mask, gateway, DHCP use, data
destination and FPGA configuration.
.
The command-line tool for terminals and scripts is in vantrel-cli.")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME vantrel-cli)
set(CPACK_DEBIAN_CLI_PACKAGE_SUGGESTS "bash-completion, tshark | wireshark")
set(CPACK_COMPONENT_CLI_DESCRIPTION
    "find and configure networked SDR receivers from a terminal
vantrel-cli finds the software-defined radio receivers on the local network
by UDP broadcast, shows what each reports, changes their network settings one
at a time or from a plan for a whole fleet, and watches them for changes.
Its output suits scripts: JSON or CSV on standard output, and exit statuses
that tell what happened. It says why a receiver is not found, and ships a
Wireshark dissector for the discovery protocol.
.
It needs no display and no widget libraries.")

set(CPACK_DEBIAN_EMULATOR_PACKAGE_NAME vantrel-emulator)
set(CPACK_DEBIAN_EMULATOR_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_EMULATOR_DESCRIPTION
    "test tool that plays networked SDR receivers for Vantrel
vantrel-emulator answers Vantrel's discovery requests and configuration
messages as one or more receivers would, for tests, demonstrations and
trying the tools without hardware.
.
Run it only in a private network namespace or on a lab network: every
computer on the network sees the receivers it plays.")

# Each package carries its own copyright file, changelog and lintian notes.
if(UNIX AND NOT APPLE)
    foreach(PACKAGE vantrel vantrel-cli vantrel-emulator)
        configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in
                       ${PROJECT_BINARY_DIR}/packaging/${PACKAGE}/changelog @ONLY)
        set(log ${PROJECT_BINARY_DIR}/packaging/${PACKAGE}/changelog)
        add_custom_command(OUTPUT ${log}.gz COMMAND gzip -9nf -k ${log} DEPENDS ${log} VERBATIM)
        add_custom_target(changelog-${PACKAGE} ALL DEPENDS ${log}.gz)
    endforeach()
    foreach(component vantrel cli emulator)
        set(package vantrel)
        if(component STREQUAL emulator)
            set(package vantrel-emulator)
        elseif(component STREQUAL cli)
            set(package vantrel-cli)
        endif()
        set(doc ${CMAKE_INSTALL_DATADIR}/doc/${package})
        install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
                      ${PROJECT_BINARY_DIR}/packaging/${package}/changelog.gz
                DESTINATION ${doc} COMPONENT ${component})
        install(FILES ${PROJECT_SOURCE_DIR}/packaging/${package}.lintian-overrides
                DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
                RENAME ${package} COMPONENT ${component})
    endforeach()
endif()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(CPACK_GENERATOR DEB)
endif()

include(CPack)
