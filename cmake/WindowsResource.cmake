# The four-part version Windows shows (1.07 is 1.7.0.0) and the copyright
# line of the licence, for version resources.
function(vantrel_windows_version version copyright)
    math(EXPR minor "${PROJECT_VERSION_MINOR} + 0")
    set(${version} "${PROJECT_VERSION_MAJOR}.${minor}.0.0" PARENT_SCOPE)
    file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE line REGEX "^Copyright" LIMIT_COUNT 1)
    set(${copyright} "${line}" PARENT_SCOPE)
endfunction()

# Gives a Windows executable the project's icon (IDI_ICON1) and a version
# resource naming it. Does nothing elsewhere.
function(vantrel_windows_resource target description)
    if(NOT WIN32)
        return()
    endif()
    set(VANTREL_RC_NAME ${target})
    set(VANTREL_RC_DESCRIPTION "${description}")
    vantrel_windows_version(VANTREL_RC_VERSION VANTREL_RC_COPYRIGHT)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/resources/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS
                 ${PROJECT_SOURCE_DIR}/resources/vantrel.rc ${PROJECT_SOURCE_DIR}/resources/vantrel.ico)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/resources)
endfunction()
