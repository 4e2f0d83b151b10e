# Gives a Windows executable the project's icon (IDI_ICON1) and a version
# resource naming it. Does nothing elsewhere.
function(vantrel_windows_resource target description)
    if(NOT WIN32)
        return()
    endif()
    set(VANTREL_RC_NAME ${target})
    set(VANTREL_RC_DESCRIPTION "${description}")
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/resources/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS
                 ${PROJECT_SOURCE_DIR}/resources/vantrel.rc ${PROJECT_SOURCE_DIR}/resources/vantrel.ico)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/resources)
endfunction()
