# Builds the Debian packages from this build tree with CPack and checks them
# as a distribution would: lintian reports no error, warning or info tag (the
# ones expected are listed with their reasons in packaging/*.lintian-overrides),
# the emulator and the command-line tool ship in packages of their own (the
# tool's depends on no widget library), manual pages pass mandoc's lint, the
# AppStream metadata validates, and no installed program carries a run path.
# Nothing is run but the packaging tools.
# Usage: cmake -DBUILD_DIR=<build> -DROOT=<scratch dir> -P tst_package.cmake
set(failures "")
macro(fail msg)
    list(APPEND failures "${msg}")
endmacro()
foreach(tool cpack lintian dpkg-deb mandoc appstreamcli readelf)
    find_program(${tool}_exe ${tool})
    if(NOT ${tool}_exe)
        message(FATAL_ERROR "${tool} not found (the test command installs it)")
    endif()
endforeach()

file(REMOVE_RECURSE "${ROOT}")
file(MAKE_DIRECTORY "${ROOT}")
execute_process(COMMAND "${cpack_exe}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${ROOT}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cpack failed (${rc}):\n${out}")
endif()

foreach(package vantrel vantrel-cli vantrel-emulator)
    file(GLOB deb "${ROOT}/${package}_*.deb")
    if(NOT deb)
        fail("no ${package} package was made")
        continue()
    endif()
    execute_process(COMMAND "${lintian_exe}" -I --tag-display-limit 0 "${deb}"
                    OUTPUT_VARIABLE tags ERROR_VARIABLE ignored)
    string(REGEX MATCHALL "(^|\n)[EWIXP]: [^\n]*" found "${tags}")
    foreach(tag IN LISTS found)
        string(STRIP "${tag}" tag)
        if(tag MATCHES "^[EWI]: ")
            fail("lintian: ${tag}")
        endif()
    endforeach()

    set(tree "${ROOT}/${package}.tree")
    execute_process(COMMAND "${dpkg-deb_exe}" -x "${deb}" "${tree}")
    if(package STREQUAL vantrel AND EXISTS "${tree}/usr/bin/vantrel-emulator")
        fail("the emulator is in the main package")
    endif()
    if(package STREQUAL vantrel-emulator AND NOT EXISTS "${tree}/usr/bin/vantrel-emulator")
        fail("the vantrel-emulator package lacks the emulator")
    endif()
    if(package STREQUAL vantrel AND EXISTS "${tree}/usr/bin/vantrel-cli")
        fail("the command-line tool is in the window's package")
    endif()
    if(package STREQUAL vantrel-cli)
        if(NOT EXISTS "${tree}/usr/bin/vantrel-cli"
           OR NOT EXISTS "${tree}/usr/share/bash-completion/completions/vantrel-cli"
           OR NOT EXISTS "${tree}/usr/share/vantrel-cli/vantrel.lua")
            fail("the vantrel-cli package lacks the tool, its completion or its dissector")
        endif()
        # A headless host installs no widget or GUI libraries for it.
        execute_process(COMMAND "${dpkg-deb_exe}" -f "${deb}" Depends OUTPUT_VARIABLE depends)
        if(depends MATCHES "libqt6(widgets|gui)" OR NOT depends MATCHES "libqt6network6")
            fail("vantrel-cli depends on: ${depends}")
        endif()
    endif()
    file(GLOB pages "${tree}/usr/share/man/man1/*")
    foreach(page IN LISTS pages)
        execute_process(COMMAND sh -c "zcat '${page}' | '${mandoc_exe}' -Tlint"
                        RESULT_VARIABLE mrc OUTPUT_VARIABLE mout ERROR_VARIABLE mout)
        if(NOT mrc EQUAL 0 OR mout)
            fail("mandoc -Tlint on ${page}:\n${mout}")
        endif()
    endforeach()
    file(GLOB programs "${tree}/usr/bin/*")
    foreach(program IN LISTS programs)
        execute_process(COMMAND "${readelf_exe}" -d "${program}" OUTPUT_VARIABLE dynamic)
        if(dynamic MATCHES "RPATH|RUNPATH")
            fail("${program} carries a run path")
        endif()
    endforeach()
endforeach()

foreach(page vantrel vantrel-cli)
    if(NOT EXISTS "${ROOT}/${page}.tree/usr/share/man/man1/${page}.1.gz")
        fail("the ${page} package lacks the manual page of ${page}")
    endif()
endforeach()
file(GLOB metainfo "${ROOT}/vantrel.tree/usr/share/metainfo/*.metainfo.xml")
if(NOT metainfo)
    fail("the vantrel package has no AppStream metadata")
else()
    execute_process(COMMAND "${appstreamcli_exe}" validate --no-net ${metainfo}
                    RESULT_VARIABLE arc OUTPUT_VARIABLE aout ERROR_VARIABLE aout)
    if(NOT arc EQUAL 0)
        fail("appstreamcli validate:\n${aout}")
    endif()
endif()

if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "package check failed:\n  ${text}")
endif()
message(STATUS "the three packages pass lintian, mandoc and appstreamcli")
