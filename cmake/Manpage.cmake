# Manual pages: the version is filled in from the project's, and the page is
# installed gzip-compressed (-n: no name or time stamp, so the package is
# reproducible), as distributions expect. A third argument names a program
# that writes the page from the configured template (TEMPLATE PAGE).
include(GNUInstallDirs)

function(vantrel_add_manpage source component)
    if(WIN32 OR CMAKE_CROSSCOMPILING)
        return() # Windows has no manual pages; the help text is the manual there
    endif()
    get_filename_component(name "${source}" NAME_WLE) # vantrel-cli.1.in -> vantrel-cli.1
    set(page "${CMAKE_CURRENT_BINARY_DIR}/${name}")
    if(ARGC GREATER 2)
        configure_file("${source}" "${page}.in" @ONLY)
        # Its leaks at exit do not concern the page (sanitizer builds).
        add_custom_command(OUTPUT "${page}"
                           COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
                                   $<TARGET_FILE:${ARGV2}> "${page}.in" "${page}"
                           DEPENDS ${ARGV2} "${page}.in"
                           VERBATIM)
    else()
        configure_file("${source}" "${page}" @ONLY)
    endif()
    add_custom_command(OUTPUT "${page}.gz"
                       COMMAND gzip -9nf -k "${page}"
                       DEPENDS "${page}"
                       VERBATIM)
    add_custom_target(man-${name} ALL DEPENDS "${page}.gz")
    install(FILES "${page}.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()
