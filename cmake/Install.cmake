# What `cmake --install` puts where, in three components that are also the
# three Debian packages (see Packaging.cmake):
#   runtime  the shared client library
#   dev      its public headers, the static library, the CMake package and
#            tandrel.pc, the client's guide and examples
#   tool     signature-check and its documentation
# On Windows the tool's layout is the release archive's (WindowsRelease.cmake).
include(CMakePackageConfigHelpers)

set(tandrel_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/tandrel)
set(tandrel_dev_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/libtandrel-dev)

install(TARGETS ${tandrel_targets} EXPORT tandrelTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
# The private halves stay out: no public header includes them.
install(FILES ${tandrel_public_headers}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tandrel/network COMPONENT dev)

install(EXPORT tandrelTargets NAMESPACE tandrel::
    DESTINATION ${tandrel_cmake_dir} COMPONENT dev)
configure_package_config_file(cmake/tandrelConfig.cmake.in
    ${PROJECT_BINARY_DIR}/tandrelConfig.cmake
    INSTALL_DESTINATION ${tandrel_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tandrelConfigVersion.cmake
    VERSION ${TANDREL_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tandrelConfig.cmake ${PROJECT_BINARY_DIR}/tandrelConfigVersion.cmake
    DESTINATION ${tandrel_cmake_dir} COMPONENT dev)

set(tandrel_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH pc_prefix_from_pcdir /${tandrel_pc_dir} /)
string(REGEX REPLACE "/$" "" pc_prefix_from_pcdir "${pc_prefix_from_pcdir}")
configure_file(cmake/tandrel.pc.in ${PROJECT_BINARY_DIR}/tandrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tandrel.pc DESTINATION ${tandrel_pc_dir} COMPONENT dev)

# Laid out as in the source tree, so the guide's links to the examples hold.
install(FILES docs/client.md DESTINATION ${tandrel_dev_doc_dir}/docs COMPONENT dev)
install(DIRECTORY examples/ DESTINATION ${tandrel_dev_doc_dir}/examples COMPONENT dev)

# The tool works in its own directory (CheckSign.exe beside it, its
# downloads and results written there), so it gets a directory of its own.
if(WIN32)
    include(cmake/WindowsRelease.cmake)
else()
    # Where Debian keeps private programs; bin/ gets a launcher that says so.
    install(TARGETS signature-check RUNTIME DESTINATION lib/signature-check COMPONENT tool)
    install(PROGRAMS cmake/signature-check-launcher.sh RENAME signature-check
        DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
    install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool)
    install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT tool)

    # Each Debian package's copyright file, machine-readable, the licence
    # terms taken from LICENSE (indented, blank lines as " .").
    file(READ LICENSE licence_text)
    string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" unused "${licence_text}")
    set(copyright_holders "${CMAKE_MATCH_1}")
    string(FIND "${licence_text}" "Permission is hereby granted" terms_start)
    string(SUBSTRING "${licence_text}" ${terms_start} -1 licence_terms)
    string(STRIP "${licence_terms}" licence_terms)
    string(REPLACE "\n\n" "\n.\n" licence_terms "${licence_terms}")
    string(REPLACE "\n" "\n " licence_terms " ${licence_terms}")
    configure_file(cmake/debian-copyright.in ${PROJECT_BINARY_DIR}/copyright @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libtandrel${TANDREL_VERSION_MAJOR} COMPONENT runtime)
    install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${tandrel_dev_doc_dir} COMPONENT dev)
    install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool)
endif()
