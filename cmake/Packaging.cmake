# `cpack -G DEB` in the build directory turns the install tree into three
# Debian packages: vantrel (the window, desktop entry, icons, metadata),
# vantrel-cli (the command-line tool, which links QtCore and QtNetwork only)
# and vantrel-emulator (the test tool). Library dependencies are read off the
# installed executables by dpkg-shlibdeps, so they follow whichever Qt 6 the
# build linked against.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VENDOR "Quorvane")
set(VANTREL_REPLY_PORT 48322)
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
elseif(WIN32)
    # One 64-bit installer with both programs, and the same files as a zip.
    set(CPACK_GENERATOR NSIS ZIP)
    set(CPACK_MONOLITHIC_INSTALL ON)
    unset(CPACK_COMPONENTS_ALL)
    set(CPACK_PACKAGING_INSTALL_PREFIX "")
    set(CPACK_SYSTEM_NAME win64)
    set(CPACK_PACKAGE_FILE_NAME Vantrel-${PROJECT_VERSION}-win64)
    # The options page and its shortcuts name the product as users know it.
    set(CPACK_PACKAGE_NAME Vantrel)
    set(CPACK_NSIS_PACKAGE_NAME Vantrel)
    set(CPACK_NSIS_DISPLAY_NAME "Vantrel ${PROJECT_VERSION}")
    # The licence travels with every copy; the README says what Windows users need.
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/README-windows.txt DESTINATION . RENAME README.txt)
    set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Vantrel)
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    # A 64-bit installer: NSIS builds a 32-bit one unless told otherwise. Its
    # own version resource, for its Properties and SmartScreen.
    vantrel_windows_version(version copyright)
    # CPack reads these values once more as CMake strings: quotes and
    # backslashes are escaped twice.
    set(CPACK_NSIS_DEFINES "Target amd64-unicode
  !include FileFunc.nsh
  VIProductVersion ${version}
  VIAddVersionKey ProductName Vantrel
  VIAddVersionKey CompanyName ${CPACK_PACKAGE_VENDOR}
  VIAddVersionKey LegalCopyright \\\"${copyright}\\\"
  VIAddVersionKey FileDescription \\\"Vantrel installer\\\"
  VIAddVersionKey FileVersion ${version}
  VIAddVersionKey ProductVersion ${PROJECT_VERSION}
  BrandingText \\\"Vantrel ${PROJECT_VERSION}\\\"")
    set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/resources/vantrel.ico)
    set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/resources/vantrel.ico)
    set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\vantrel.exe")
    set(CPACK_PACKAGE_EXECUTABLES vantrel Vantrel)
    set(CPACK_CREATE_DESKTOP_LINKS vantrel)
    # The options page puts vantrel-cli on PATH for the current user unless
    # told otherwise (cmake/NSIS.InstallOptions.ini.in).
    set(CPACK_NSIS_MODIFY_PATH ON)
    list(PREPEND CMAKE_MODULE_PATH ${PROJECT_SOURCE_DIR}/cmake)
    # A console in the programs' folder, vantrel-cli ready.
    set(CPACK_NSIS_CREATE_ICONS_EXTRA "  SetOutPath \\\"$INSTDIR\\\\bin\\\"
  CreateShortCut \\\"$SMPROGRAMS\\\\$STARTMENU_FOLDER\\\\Vantrel command line.lnk\\\" \\\"$SYSDIR\\\\cmd.exe\\\" \\\"/k vantrel-cli help\\\"
  SetOutPath \\\"$INSTDIR\\\"")
    # After the template removed the product's own key: the vendor's, if empty.
    set(CPACK_NSIS_DELETE_ICONS_EXTRA "  Delete \\\"$SMPROGRAMS\\\\$MUI_TEMP\\\\Vantrel command line.lnk\\\"
  DeleteRegKey /ifempty SHCTX \\\"Software\\\\${CPACK_PACKAGE_VENDOR}\\\"")
    set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
    # Authenticode, where a certificate is given (cmake/Sign.cmake).
    set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/Sign.cmake)
    set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/Sign.cmake)
    # Windows drops the replies on UDP 48322 unless a rule lets them in: the
    # first reason a receiver is "not found" there.
    set(rule "netsh advfirewall firewall")
    set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "")
    set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "")
    # Apps & features reads these as numbers: the template writes text.
    set(uninstall "Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\Vantrel")
    string(APPEND CPACK_NSIS_EXTRA_INSTALL_COMMANDS
           "  WriteRegDWORD SHCTX \\\"${uninstall}\\\" NoModify 1\n"
           "  WriteRegDWORD SHCTX \\\"${uninstall}\\\" NoRepair 1\n"
           "  \\\${GetSize} \\\"$INSTDIR\\\" \\\"/S=0K\\\" $0 $1 $2\n"
           "  IntFmt $0 \\\"0x%08X\\\" $0\n"
           "  WriteRegDWORD SHCTX \\\"${uninstall}\\\" EstimatedSize $0\n")
    foreach(program vantrel vantrel-cli)
        set(name "${program} replies (UDP ${VANTREL_REPLY_PORT})")
        string(APPEND CPACK_NSIS_EXTRA_INSTALL_COMMANDS
               "  nsExec::ExecToLog '${rule} add rule name=\\\"${name}\\\" dir=in action=allow protocol=UDP localport=${VANTREL_REPLY_PORT} program=\\\"$INSTDIR\\\\bin\\\\${program}.exe\\\" enable=yes'\n  Pop $0\n")
        string(APPEND CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS
               "  nsExec::ExecToLog '${rule} delete rule name=\\\"${name}\\\"'\n  Pop $0\n")
    endforeach()
endif()

include(CPack)
