# Installs the build tree into a scratch prefix and checks what a user's
# system would receive: both programs, a menu entry that desktop-file-validate
# accepts and whose Exec and Icon name the installed program and icons, and
# the hicolor icons at 16 to 256 px plus the scalable SVG.
# The install is staged under DESTDIR as well, so that a rule with an absolute
# destination lands in the scratch area (and is reported) instead of the system.
# Nothing is run but cmake and desktop-file-validate.
# Usage: cmake -DBUILD_DIR=<build> -DROOT=<scratch dir> -DBINDIR=<bin>
#              -DDATADIR=<share> [-DCONFIG=<config>] [-DVERSION=<version>]
#              -P tst_install.cmake

foreach(var BUILD_DIR ROOT BINDIR DATADIR)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "tst_install.cmake needs -D${var}=...")
    endif()
endforeach()

set(failures "")
macro(fail msg)
    list(APPEND failures "${msg}")
endmacro()

set(stage "${ROOT}/stage")
set(prefix "${ROOT}/prefix")
set(tree "${stage}${prefix}")
file(REMOVE_RECURSE "${ROOT}")
file(MAKE_DIRECTORY "${ROOT}")

# cmake --install rewrites the build tree's install manifest; keep the one a
# real install left there, since uninstall scripts read it.
set(manifest "${BUILD_DIR}/install_manifest.txt")
if(EXISTS "${manifest}")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E copy "${manifest}" "${ROOT}/install_manifest.saved")
endif()

set(config_args "")
if(CONFIG)
    set(config_args --config "${CONFIG}")
endif()
execute_process(
    COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${stage}"
            "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" ${config_args}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)

if(EXISTS "${ROOT}/install_manifest.saved")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E copy "${ROOT}/install_manifest.saved" "${manifest}")
else()
    file(REMOVE "${manifest}")
endif()

if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}")
endif()

# Everything must follow the chosen prefix.
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/*")
foreach(f IN LISTS installed)
    string(FIND "/${f}" "${prefix}/" at)
    if(NOT at EQUAL 0)
        fail("installed outside the prefix: /${f}")
    endif()
endforeach()

# --- programs ---------------------------------------------------------------
foreach(exe vantrel vantrel-emulator vantrel-cli)
    set(path "${tree}/${BINDIR}/${exe}")
    if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
        fail("${BINDIR}/${exe} is not installed")
    else()
        execute_process(COMMAND test -x "${path}" RESULT_VARIABLE not_exec)
        if(not_exec)
            fail("${BINDIR}/${exe} is not executable")
        endif()
    endif()
endforeach()

# One version everywhere: the programs' --version and the manual pages.
foreach(page vantrel vantrel-cli vantrel-emulator)
    set(gz "${tree}/${DATADIR}/man/man1/${page}.1.gz")
    if(NOT EXISTS "${gz}")
        fail("the ${page} manual page is not installed")
        continue()
    endif()
    execute_process(COMMAND sh -c "zcat '${gz}' | head -n 2" OUTPUT_VARIABLE head)
    if(DEFINED VERSION AND NOT head MATCHES "\"Vantrel ${VERSION}\"")
        fail("the ${page} manual page does not name version ${VERSION}:\n${head}")
    endif()
endforeach()
foreach(exe vantrel-cli vantrel-emulator)
    execute_process(COMMAND "${tree}/${BINDIR}/${exe}" --version OUTPUT_VARIABLE said
                    RESULT_VARIABLE vrc)
    if(DEFINED VERSION AND NOT said STREQUAL "${exe} ${VERSION}\n")
        fail("${exe} --version says '${said}' (${vrc}), expected '${exe} ${VERSION}'")
    endif()
endforeach()

# --- bash completion ----------------------------------------------------------
set(completion "${tree}/${DATADIR}/bash-completion/completions/vantrel-cli")
if(NOT EXISTS "${completion}")
    fail("the bash completion of vantrel-cli is not installed")
else()
    # Completes as a shell would: commands, a command's options, fixed values,
    # asked of the installed program.
    execute_process(
        COMMAND bash -c "PATH='${tree}/${BINDIR}':$PATH; source '${completion}'
            c() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _vantrel_cli; echo \"\${COMPREPLY[*]}\"; }
            c vantrel-cli wa; c vantrel-cli watch --mi; c vantrel-cli apply x --dr; c vantrel-cli set X --fpga ''; c vantrel-cli find --t"
        OUTPUT_VARIABLE completed RESULT_VARIABLE crc)
    if(NOT crc EQUAL 0 OR NOT completed STREQUAL "watch\n--missed\n--dry-run\n0 1 2\n--timeout --to\n")
        fail("bash completion gives:\n${completed}")
    endif()
endif()

# --- icons ------------------------------------------------------------------
set(icondir "${tree}/${DATADIR}/icons/hicolor")
foreach(size 16 24 32 48 64 128 256)
    set(png "${icondir}/${size}x${size}/apps/vantrel.png")
    if(NOT EXISTS "${png}")
        fail("${DATADIR}/icons/hicolor/${size}x${size}/apps/vantrel.png is not installed")
        continue()
    endif()
    # An icon in the wrong size folder is scaled or skipped by desktops.
    file(READ "${png}" hex LIMIT 24 HEX)
    string(SUBSTRING "${hex}" 32 8 w)
    string(SUBSTRING "${hex}" 40 8 h)
    math(EXPR w "0x${w}")
    math(EXPR h "0x${h}")
    if(NOT w EQUAL size OR NOT h EQUAL size)
        fail("hicolor/${size}x${size}/apps/vantrel.png is ${w}x${h}")
    endif()
endforeach()
set(svg "${icondir}/scalable/apps/vantrel.svg")
if(NOT EXISTS "${svg}")
    fail("${DATADIR}/icons/hicolor/scalable/apps/vantrel.svg is not installed")
else()
    file(READ "${svg}" svg_text)
    if(NOT svg_text MATCHES "<svg[ \t\r\n]")
        fail("hicolor/scalable/apps/vantrel.svg is not an SVG image")
    endif()
endif()

# --- menu entry ---------------------------------------------------------------
set(desktop "${tree}/${DATADIR}/applications/vantrel.desktop")
if(NOT EXISTS "${desktop}")
    fail("${DATADIR}/applications/vantrel.desktop is not installed")
else()
    find_program(VALIDATE desktop-file-validate)
    if(NOT VALIDATE)
        fail("desktop-file-validate not found (Debian package desktop-file-utils)")
    else()
        execute_process(COMMAND "${VALIDATE}" "${desktop}"
                        RESULT_VARIABLE vrc OUTPUT_VARIABLE vout ERROR_VARIABLE vout)
        if(NOT vrc EQUAL 0)
            fail("desktop-file-validate rejects vantrel.desktop:\n${vout}")
        endif()
    endif()
    # The entry is found by the menu only through these two names.
    file(STRINGS "${desktop}" exec_line REGEX "^Exec=")
    string(REGEX REPLACE "^Exec=([^ ]+).*" "\\1" exec_cmd "${exec_line}")
    if(NOT EXISTS "${tree}/${BINDIR}/${exec_cmd}")
        fail("vantrel.desktop runs '${exec_cmd}', which is not installed in ${BINDIR}")
    endif()
    file(STRINGS "${desktop}" icon_line REGEX "^Icon=")
    string(REGEX REPLACE "^Icon=" "" icon_name "${icon_line}")
    if(NOT EXISTS "${icondir}/48x48/apps/${icon_name}.png"
       OR NOT EXISTS "${icondir}/scalable/apps/${icon_name}.svg")
        fail("vantrel.desktop names icon '${icon_name}', which is not installed in hicolor")
    endif()
endif()

if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "Install tree ${tree}:\n  ${text}")
endif()
file(REMOVE_RECURSE "${ROOT}")
message(STATUS "Install tree complete: programs, menu entry, hicolor icons")
