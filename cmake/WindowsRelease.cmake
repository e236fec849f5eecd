# The Windows release, made by `cpack` in a Windows build:
#   signature-check-<version>-win64.zip  the tool (component tool), signed,
#       with README.txt, USAGE.txt, its licence and the licence notices of
#       what is linked into it, in a folder of the archive's name: the
#       folder it works in
#   signature-check-<version>-win64-debug.zip  the debug information of the
#       archive's stripped exe (component debug), which the exe names
#   tandrel-<version>-win64-dev.zip  the client for developers (component
#       dev): static library, public headers, CMake package, licence, laid
#       out as a prefix (include/, lib/, share/)
# Signing takes SIGNING_CERTIFICATE and SIGNING_KEY (cache or environment);
# without them the build makes a test certificate for it.

# Texts with Windows line ends, made again when their sources change; with
# CONFIGURE, @VARIABLE@ references are replaced too.
function(windows_text source target)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    file(READ ${source} text)
    if(ARGV2 STREQUAL CONFIGURE)
        string(CONFIGURE "${text}" text @ONLY)
    endif()
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${target} "${text}")
endfunction()

set(release_dir ${PROJECT_BINARY_DIR}/release)
set(tool_dir signature-check-${PROJECT_VERSION}-win64)
windows_text(${PROJECT_SOURCE_DIR}/cmake/windows/README.txt ${release_dir}/README.txt CONFIGURE)
windows_text(${PROJECT_SOURCE_DIR}/cmake/windows/USAGE.txt ${release_dir}/USAGE.txt CONFIGURE)
install(TARGETS signature-check RUNTIME DESTINATION ${tool_dir} COMPONENT tool)
if(CMAKE_OBJCOPY)
    install(FILES $<TARGET_FILE:signature-check>.debug DESTINATION ${tool_dir}-debug COMPONENT debug)
endif()
install(FILES ${release_dir}/README.txt ${release_dir}/USAGE.txt DESTINATION ${tool_dir} COMPONENT tool)
windows_text(${PROJECT_SOURCE_DIR}/LICENSE ${release_dir}/licenses/signature-check.txt)
install(FILES ${release_dir}/licenses/signature-check.txt DESTINATION ${tandrel_dev_doc_dir} RENAME LICENSE.txt
    COMPONENT dev)

# The notices of the libraries linked in statically: libcurl, nghttp2 and Boost from
# the source packages scripts/windows-deps.sh built them from, the GCC and
# mingw-w64 runtimes from the cross compiler's own packages. Builds with
# other dependencies (MSVC, MSYS2) make the archive without them.
if(CMAKE_CROSSCOMPILING)
    set(licences
        libcurl ${WINDOWS_DEPS_PREFIX}/share/licenses/curl/COPYING
        nghttp2 ${WINDOWS_DEPS_PREFIX}/share/licenses/nghttp2/COPYING
        boost ${WINDOWS_DEPS_PREFIX}/share/licenses/boost/LICENSE_1_0.txt
        gcc-runtime /usr/share/doc/gcc-mingw-w64-base/copyright
        mingw-w64-runtime /usr/share/doc/mingw-w64-x86-64-dev/copyright)
    while(licences)
        list(POP_FRONT licences name file)
        if(NOT EXISTS ${file})
            message(FATAL_ERROR "The licence notice of ${name} is missing: ${file} (run scripts/windows-deps.sh)")
        endif()
        windows_text(${file} ${release_dir}/licenses/${name}.txt)
    endwhile()
endif()
install(DIRECTORY ${release_dir}/licenses DESTINATION ${tool_dir} COMPONENT tool)

set(SIGNING_CERTIFICATE "$ENV{SIGNING_CERTIFICATE}" CACHE FILEPATH
    "Code-signing certificate (PEM or DER, with its chain) for signature-check.exe; empty: a test certificate")
set(SIGNING_KEY "$ENV{SIGNING_KEY}" CACHE FILEPATH "The private key of SIGNING_CERTIFICATE")
set(SIGNING_KEY_PASSWORD_FILE "$ENV{SIGNING_KEY_PASSWORD_FILE}" CACHE FILEPATH
    "A file holding the key's password, if it has one")
set(SIGNING_TIMESTAMP_URL "$ENV{SIGNING_TIMESTAMP_URL}" CACHE STRING
    "An RFC 3161 timestamp server, so that the signature outlives the certificate")
find_program(OSSLSIGNCODE osslsigncode)

if(SIGNING_CERTIFICATE)
    if(NOT SIGNING_KEY OR NOT OSSLSIGNCODE)
        message(FATAL_ERROR "Signing with ${SIGNING_CERTIFICATE} needs SIGNING_KEY and osslsigncode")
    endif()
    set(signing_certificate ${SIGNING_CERTIFICATE})
    set(signing_key ${SIGNING_KEY})
elseif(OSSLSIGNCODE)
    set(test_signing_dir ${PROJECT_BINARY_DIR}/release-signing)
    set(signing_certificate ${test_signing_dir}/signer.pem)
    set(signing_key ${test_signing_dir}/signer.key)
    add_custom_command(
        OUTPUT ${test_signing_dir}/ca.pem ${signing_certificate} ${signing_key}
        COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/windows/make-test-signing-certificate.sh ${test_signing_dir}
        DEPENDS ${PROJECT_SOURCE_DIR}/cmake/windows/make-test-signing-certificate.sh
            ${PROJECT_SOURCE_DIR}/cmake/windows/code-signing.cnf
        COMMENT "Making a test code-signing certificate for the release archive")
    add_custom_target(release-signing-certificate ALL DEPENDS ${signing_certificate})
else()
    message(STATUS "osslsigncode not found: the release archive's signature-check.exe stays unsigned")
endif()

if(signing_certificate)
    # CPACK_-prefixed, so they reach the signing script through CPackConfig.cmake.
    set(CPACK_RELEASE_OSSLSIGNCODE ${OSSLSIGNCODE})
    set(CPACK_RELEASE_SIGNING_CERTIFICATE ${signing_certificate})
    set(CPACK_RELEASE_SIGNING_KEY ${signing_key})
    set(CPACK_RELEASE_SIGNING_KEY_PASSWORD_FILE ${SIGNING_KEY_PASSWORD_FILE})
    set(CPACK_RELEASE_SIGNING_TIMESTAMP_URL ${SIGNING_TIMESTAMP_URL})
    set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/windows/SignRelease.cmake)
endif()
