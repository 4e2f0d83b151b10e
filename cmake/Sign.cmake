# Run by cpack before it packs (the staged files) and after (the packages):
# signs each Windows executable with Authenticode when a certificate is at
# hand, VANTREL_SIGN_PFX (a PKCS#12 file) with VANTREL_SIGN_PASSWORD.
# Without one it does nothing: the packages stay unsigned.
if(NOT DEFINED ENV{VANTREL_SIGN_PFX} OR "$ENV{VANTREL_SIGN_PFX}" STREQUAL "")
    return()
endif()
find_program(OSSLSIGNCODE osslsigncode REQUIRED)
if(DEFINED CPACK_PACKAGE_FILES)
    set(files ${CPACK_PACKAGE_FILES})
    list(FILTER files INCLUDE REGEX "\\.exe$")
else()
    file(GLOB_RECURSE files "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.exe")
endif()
foreach(file IN LISTS files)
    execute_process(COMMAND ${OSSLSIGNCODE} sign -pkcs12 "$ENV{VANTREL_SIGN_PFX}"
                            -pass "$ENV{VANTREL_SIGN_PASSWORD}" -n Vantrel -h sha256
                            -in "${file}" -out "${file}.signed"
                    RESULT_VARIABLE failed OUTPUT_QUIET)
    if(failed)
        message(FATAL_ERROR "cannot sign ${file}")
    endif()
    file(RENAME "${file}.signed" "${file}")
    message(STATUS "signed ${file}")
endforeach()
