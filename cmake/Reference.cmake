# The client's API reference: `cmake --build <build> --target tandrel-reference`
# (scripts/build-reference.sh) runs Doxygen over the public headers into
# <build>/reference/html. A public class, function, setting or macro without
# a documentation comment ("///") fails the target, so CI catches it.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
    return()
endif()

set(DOXYGEN_PROJECT_NAME tandrel)
set(DOXYGEN_PROJECT_NUMBER ${TANDREL_VERSION})
set(DOXYGEN_PROJECT_BRIEF "Asynchronous HTTP client over libcurl's multi interface")
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/reference)
set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/docs/reference.md)
# Shown as users include them: "network/NetworkRequest.h".
set(DOXYGEN_STRIP_FROM_PATH ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/src/network/generated)
set(DOXYGEN_STRIP_FROM_INC_PATH ${DOXYGEN_STRIP_FROM_PATH})
# The implementation's classes are only named in the headers.
set(DOXYGEN_EXCLUDE_SYMBOLS tandrel::privacy)
# A comment on the first member of a ///@{ ... ///@} group (a setter and its
# getter, an asynchronous form and its blocking one) documents them all.
set(DOXYGEN_DISTRIBUTE_GROUP_DOC YES)
set(DOXYGEN_JAVADOC_AUTOBRIEF YES)
# network/Awaitable.h is C++20 only.
set(DOXYGEN_PREDEFINED __cpp_impl_coroutine=201902L)
set(DOXYGEN_HAVE_DOT NO)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_QUIET YES)
set(DOXYGEN_WARN_IF_UNDOCUMENTED YES)
set(DOXYGEN_WARN_IF_DOC_ERROR YES)
set(DOXYGEN_WARN_AS_ERROR FAIL_ON_WARNINGS)

doxygen_add_docs(tandrel-reference ${tandrel_public_headers} ${DOXYGEN_USE_MDFILE_AS_MAINPAGE}
    COMMENT "Building the client's API reference")
