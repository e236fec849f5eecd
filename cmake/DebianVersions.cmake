# Read by cpack as it runs (CPACK_PROJECT_CONFIG_FILE), after -D settings.
# The client's Debian packages carry the client's version (TANDREL_VERSION),
# the tool's package the tool's. CPack gives every package of one run the
# same version, so a run of the client's components alone takes the
# client's; a run that mixes them with the tool's works while the two
# versions are the same, and otherwise stops with how to make them apart.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()
set(tool_components ${CPACK_COMPONENTS_ALL})
list(REMOVE_ITEM tool_components runtime dev)
if(NOT tool_components)
    set(CPACK_PACKAGE_VERSION ${CPACK_TANDREL_VERSION})
elseif(NOT tool_components STREQUAL CPACK_COMPONENTS_ALL AND NOT CPACK_TANDREL_VERSION STREQUAL CPACK_PACKAGE_VERSION)
    message(FATAL_ERROR "The client's packages (version ${CPACK_TANDREL_VERSION}) and the tool's "
        "(${CPACK_PACKAGE_VERSION}) need a cpack run each: "
        "cpack -D CPACK_COMPONENTS_ALL='runtime;dev', then cpack -D CPACK_COMPONENTS_ALL=tool")
endif()
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libtandrel${CPACK_TANDREL_VERSION_MAJOR} (= ${CPACK_TANDREL_VERSION}), libcurl4-openssl-dev | libcurl-dev")
