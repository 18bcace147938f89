# Read by cpack before it makes a package. For the .deb: whoever builds it is its Maintainer, taken as
# Debian's own tools take it (DEBFULLNAME, else NAME; DEBEMAIL, else EMAIL; an address may carry its
# name, "Name <address>"); and its Depends are what dpkg-shlibdeps works out from the programs and
# libraries it holds, with either build of GLFW, for X11 or for Wayland.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(address "$ENV{DEBEMAIL}")
if(address STREQUAL "")
  set(address "$ENV{EMAIL}")
endif()
set(name "$ENV{DEBFULLNAME}")
if(name STREQUAL "")
  set(name "$ENV{NAME}")
endif()
if(address MATCHES "^(.*[^ ]) *<(.+)>$")
  if(name STREQUAL "")
    set(name "${CMAKE_MATCH_1}")
  endif()
  set(address "${CMAKE_MATCH_2}")
endif()
if(name STREQUAL "" OR NOT address MATCHES "^[^ @<>]+@[^ @<>]+$")
  message(FATAL_ERROR "The package names whoever builds it as its Maintainer: set DEBFULLNAME to your name "
                      "and DEBEMAIL to your e-mail address (as for Debian's own tools), then run cpack again.")
endif()
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${name} <${address}>")

set(workdir "${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps")
file(MAKE_DIRECTORY "${workdir}/debian")
file(TOUCH "${workdir}/debian/control")
set(binaries "")
foreach(file IN LISTS CPACK_QUILLOMAR_ELF_FILES)
  list(APPEND binaries "-e${file}")
endforeach()
execute_process(COMMAND dpkg-shlibdeps -O ${binaries} WORKING_DIRECTORY "${workdir}"
                OUTPUT_VARIABLE shlibs ERROR_VARIABLE ignored RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE)
if(failed OR NOT shlibs MATCHES "^shlibs:Depends=(.*)$")
  message(FATAL_ERROR "dpkg-shlibdeps (Debian package dpkg-dev) could not work out the package's Depends")
endif()
string(REGEX REPLACE "libglfw3 \\([^)]*\\)" "libglfw3 (>= 3.3) | libglfw3-wayland (>= 3.3)" depends
       "${CMAKE_MATCH_1}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${depends}, ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
