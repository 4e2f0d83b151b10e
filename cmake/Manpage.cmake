# Manual pages: the version is filled in from the project's, and the page is
# installed gzip-compressed (-n: no name or time stamp, so the package is
# reproducible), as distributions expect.
include(GNUInstallDirs)

function(vantrel_add_manpage source component)
    if(WIN32)
        return() # Windows has no manual pages; the help text is the manual there
    endif()
    get_filename_component(name "${source}" NAME_WLE) # vantrel-cli.1.in -> vantrel-cli.1
    set(page "${CMAKE_CURRENT_BINARY_DIR}/${name}")
    configure_file("${source}" "${page}" @ONLY)
    add_custom_command(OUTPUT "${page}.gz"
                       COMMAND gzip -9nf -k "${page}"
                       DEPENDS "${page}"
                       VERBATIM)
    add_custom_target(man-${name} ALL DEPENDS "${page}.gz")
    install(FILES "${page}.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()
