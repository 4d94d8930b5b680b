# The Debian packages' layout, for prefix /usr: the libraries in the
# multiarch directory (/usr/lib/x86_64-linux-gnu) with their CMake package
# and .pc files, no run paths (the loader searches there), and in each
# package's /usr/share/doc/<package> its copyright and changelog. Its rules
# are in the components below, which a plain cmake --install leaves out: that
# keeps the layout chosen for its own prefix. cmake/packaging.cmake makes one
# package of each component.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(KV_FX_DEB_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(KV_FX_DEB_LIBDIR lib)
endif()
set(KV_FX_DEB_OUT ${CMAKE_BINARY_DIR}/deb)
# Component and package names; the library package is named by its SONAME.
set(KV_FX_DEB_RUNTIME deb_runtime)
set(KV_FX_DEB_DEV deb_dev)
set(KV_FX_DEB_KVFX deb_kvfx)
set(KV_FX_DEB_GST deb_gst)
set(KV_FX_DEB_PYTHON python)  # python/CMakeLists.txt's own component
set(KV_FX_DEB_PACKAGE_deb_runtime libkelvo-fx${PROJECT_VERSION_MAJOR})
set(KV_FX_DEB_PACKAGE_deb_dev libkelvo-fx-dev)
set(KV_FX_DEB_PACKAGE_deb_kvfx kvfx)
set(KV_FX_DEB_PACKAGE_deb_gst gstreamer1.0-kvfx)
set(KV_FX_DEB_PACKAGE_python python3-kelvo-fx)
# The packages' version: the library's, and the first packaging of it.
set(KV_FX_DEB_VERSION ${PROJECT_VERSION}-1)
set(KV_FX_DEB_MAINTAINER "The libkelvo_fx developers <maintainers@users.noreply.c-seed-1a09c05e.example>"
    CACHE STRING "Maintainer of the Debian packages (Name <address>)")

# debian/copyright's machine-readable form, with the licence text of LICENSE.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
if(NOT licence MATCHES "^MIT License\n\nCopyright \\(c\\) ([^\n]+)\n\n(.*)$")
  message(FATAL_ERROR "LICENSE: expected the MIT licence with one copyright line")
endif()
set(holder "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" text)
string(REPLACE "\n\n" "\n.\n" text "${text}")
string(REPLACE "\n" "\n " text " ${text}")
file(WRITE ${KV_FX_DEB_OUT}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: libkelvo_fx

Files: *
Copyright: ${holder}
License: Expat
${text}
")

# The changelog every Debian package carries: one entry, this version. Its
# date is the configure time's, or SOURCE_DATE_EPOCH's.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${KV_FX_DEB_OUT}/changelog.Debian
"kelvo-fx (${KV_FX_DEB_VERSION}) unstable; urgency=medium

  * libkelvo_fx ${PROJECT_VERSION}, packaged by cpack -G DEB.

 -- ${KV_FX_DEB_MAINTAINER}  ${date}
")
execute_process(COMMAND gzip -9 -n -f ${KV_FX_DEB_OUT}/changelog.Debian RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${KV_FX_DEB_OUT}/changelog.Debian")
endif()

# The packages are built for /usr, and the Debian components refuse any other
# prefix before anything is installed (the Python package's component is the
# one any install uses).
foreach(component ${KV_FX_DEB_RUNTIME} ${KV_FX_DEB_DEV} ${KV_FX_DEB_KVFX} ${KV_FX_DEB_GST})
  install(CODE "
    if(NOT CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      message(FATAL_ERROR \"${component} is the ${KV_FX_DEB_PACKAGE_${component}} package's layout, \"
                          \"for prefix /usr (cpack -G DEB), not \${CMAKE_INSTALL_PREFIX}\")
    endif()" COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# What every package holds besides its own files.
function(kv_fx_deb_component component)
  install(FILES ${KV_FX_DEB_OUT}/copyright ${KV_FX_DEB_OUT}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KV_FX_DEB_PACKAGE_${component}}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()
