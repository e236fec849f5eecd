# Run by cpack after it has staged the files and before it zips them: signs
# each staged signature-check.exe in place with osslsigncode (Authenticode,
# SHA-256), with the certificate and key that WindowsRelease.cmake chose.
file(GLOB_RECURSE tools "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/signature-check.exe")
foreach(tool IN LISTS tools)
    set(command ${CPACK_RELEASE_OSSLSIGNCODE} sign
        -certs ${CPACK_RELEASE_SIGNING_CERTIFICATE} -key ${CPACK_RELEASE_SIGNING_KEY}
        -n signature-check -h sha256 -in ${tool} -out ${tool}.signed)
    if(CPACK_RELEASE_SIGNING_KEY_PASSWORD_FILE)
        list(APPEND command -readpass ${CPACK_RELEASE_SIGNING_KEY_PASSWORD_FILE})
    endif()
    if(CPACK_RELEASE_SIGNING_TIMESTAMP_URL)
        list(APPEND command -ts ${CPACK_RELEASE_SIGNING_TIMESTAMP_URL})
    endif()
    execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT status EQUAL 0)
        file(REMOVE ${tool}.signed)
        message(FATAL_ERROR "Signing ${tool} failed:\n${output}")
    endif()
    file(RENAME ${tool}.signed ${tool})
    message(STATUS "Signed ${tool}")
endforeach()
