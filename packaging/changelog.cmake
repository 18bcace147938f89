# Run by cpack once the package's files are staged: the changelog of this native package, naming its
# Maintainer, dated by SOURCE_DATE_EPOCH when set (for reproducible builds), compressed as Debian wants.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND date -u -R -d "@$ENV{SOURCE_DATE_EPOCH}" OUTPUT_VARIABLE date
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
else()
  execute_process(COMMAND date -R OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(doc "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")
file(WRITE "${doc}/changelog"
     "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Quillomar ${CPACK_PACKAGE_VERSION}: the viewer, quillomar-live, quillomar-record and\n"
     "    quillomar-import.\n\n"
     " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n")
execute_process(COMMAND gzip -9nf "${doc}/changelog" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not compress the changelog")
endif()
