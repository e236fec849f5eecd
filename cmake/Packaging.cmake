# `cpack` makes one package per install component. On Windows, two ZIP
# archives (see WindowsRelease.cmake):
#   signature-check-<version>-win64.zip   the tool (tool)
#   tandrel-<version>-win64-dev.zip       the client's development files (dev)
# Elsewhere, three Debian packages:
#   libtandrel1       the shared client library (runtime)
#   libtandrel-dev    headers, static library, CMake package, tandrel.pc (dev)
#   signature-check   the tool (tool)
# The Debian dependencies on libcurl, Boost and the C++ runtime come from
# dpkg-shlibdeps, which reads them off the binaries.
set(CPACK_PACKAGE_NAME signature-check)
set(CPACK_PACKAGE_VENDOR "${RELEASE_VENDOR}")
set(CPACK_PACKAGE_CONTACT "signature-check developers <signature-check@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_COMPONENTS_ALL tool dev debug)
    set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
    set(CPACK_ARCHIVE_TOOL_FILE_NAME signature-check-${PROJECT_VERSION}-win64)
    set(CPACK_ARCHIVE_DEV_FILE_NAME tandrel-${TANDREL_VERSION}-win64-dev)
    set(CPACK_ARCHIVE_DEBUG_FILE_NAME signature-check-${PROJECT_VERSION}-win64-debug)
    # Programs go into the archives stripped, before they are signed.
    set(CPACK_STRIP_FILES ON)
    include(CPack)
    return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL runtime dev tool)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtandrel${TANDREL_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "asynchronous HTTP client over libcurl's multi interface
The tandrel client: a manager with one worker thread, requests and replies;
get, post and download, each asynchronous or blocking; cookies in a file.
This package holds the shared library.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtandrel-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "asynchronous HTTP client over libcurl's multi interface - development files
Headers, static library, CMake package (find_package(tandrel)), pkg-config
file (tandrel.pc), the client's guide and example programs.")
# The headers include <curl/curl.h>; the static library needs libcurl to
# link. Its dependencies and the client's packages' version are set as
# cpack runs, in DebianVersions.cmake.
set(CPACK_TANDREL_VERSION ${TANDREL_VERSION})
set(CPACK_TANDREL_VERSION_MAJOR ${TANDREL_VERSION_MAJOR})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/DebianVersions.cmake)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME signature-check)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "checks the signature of the VPN client installer a gateway publishes
Downloads the installer from the gateway of the logged-in VPN client
session and has the checker CheckSign.exe beside the tool judge its
signature; prints and records VALID or INVALID.")

include(CPack)
