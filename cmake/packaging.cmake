# What cpack makes of a build, written into the build folder:
#   Linux: cpack -G DEB, one Debian package per component of
#     cmake/debian_layout.cmake (libkelvo-fx0, libkelvo-fx-dev, kvfx,
#     gstreamer1.0-kvfx, python3-kelvo-fx: those whose parts were built);
#   Windows: cpack -G ZIP, kelvo_fx-<version>-windows-<cpu>.zip, the files of
#     a plain cmake --install.
# The version is the project's, read from kelvo_fx.h.
set(CPACK_PACKAGE_NAME kelvo_fx)
set(CPACK_PACKAGE_VENDOR "The libkelvo_fx developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" cpu)
  if(cpu MATCHES "^(amd64|x64)$")
    set(cpu x86_64)
  endif()
  set(CPACK_PACKAGE_FILE_NAME kelvo_fx-${PROJECT_VERSION}-windows-${cpu})
  # Unpacked, the zip is one folder that is the install prefix.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
elseif(KV_FX_DEB_LIBDIR)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  # Installed for /usr under DESTDIR, so that what is chosen for the prefix
  # at install time (the Python package's and the plugin's directories) is
  # chosen for /usr.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)  # KV_FX_DEB_VERSION's
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KV_FX_DEB_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Each package's libraries from dpkg-shlibdeps. It finds this build's own
  # libraries here but has no package to name for them: the packages that
  # link them depend on libkelvo-fx0 by name.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
  # A shlibs file for the library package: programs linked with a later
  # minor version need that one or later.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(runtime ${KV_FX_DEB_PACKAGE_${KV_FX_DEB_RUNTIME}})
  set(needs_runtime "${runtime} (>= ${KV_FX_DEB_VERSION})")

  set(about "libkelvo_fx rewrites, in place, a block of 32-bit premultiplied ARGB
pixel words with ten raster image effects: Gaussian blur, bloom, drop shadow,
ACES tone map, colour grade, vignette, film grain, scanlines, chromatic
aberration and glitch displacement. Every output bit is defined and is the
same on every CPU and system.")

  set(components ${KV_FX_DEB_RUNTIME} ${KV_FX_DEB_DEV})
  set(CPACK_DEBIAN_DEB_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_DEB_RUNTIME_DESCRIPTION "raster image effects on premultiplied ARGB pixels
${about}

This package holds the two shared libraries: libkelvo_fx, and
libkelvo_fx_parallel, which cuts each call over threads and gives the same
words for every thread count.")
  # The loader's cache learns of the libraries through libc's trigger
  # (lintian wants it; cpack's maintainer scripts run ldconfig too).
  file(WRITE ${KV_FX_DEB_OUT}/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_DEB_RUNTIME_PACKAGE_CONTROL_EXTRA ${KV_FX_DEB_OUT}/triggers)

  set(CPACK_DEBIAN_DEB_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEB_DEV_PACKAGE_DEPENDS "${runtime} (= ${KV_FX_DEB_VERSION})")
  set(CPACK_DEBIAN_DEB_DEV_DESCRIPTION "raster image effects on premultiplied ARGB pixels (development files)
${about}

This package holds what a program is built with: the C headers kelvo_fx.h
and kelvo_fx_parallel.h, the CMake package (find_package(kelvo_fx)) and the
pkg-config files kelvo_fx and kelvo_fx_parallel.")

  if(TARGET kvfx)
    list(APPEND components ${KV_FX_DEB_KVFX})
    set(CPACK_DEBIAN_DEB_KVFX_PACKAGE_SECTION graphics)
    set(CPACK_DEBIAN_DEB_KVFX_PACKAGE_DEPENDS "${needs_runtime}")
    set(CPACK_DEBIAN_DEB_KVFX_DESCRIPTION "raster image effects on PNG and JPEG files from the command line
${about}

kvfx runs a chain of these effects on image files, one or many at a time,
and writes a demo picture of every effect. kvfx(1) lists each effect's
parameters.")
  endif()

  if(TARGET kvfx_gst)
    list(APPEND components ${KV_FX_DEB_GST})
    set(CPACK_DEBIAN_DEB_GST_PACKAGE_SECTION video)
    set(CPACK_DEBIAN_DEB_GST_PACKAGE_DEPENDS "${needs_runtime}")
    set(CPACK_DEBIAN_DEB_GST_DESCRIPTION "GStreamer elements for the libkelvo_fx raster image effects
${about}

This package holds a GStreamer plugin with one video filter element per
effect (kvfxblur, kvfxbloom, ...), its parameters as the element's
properties.")
  endif()

  if(TARGET kelvo_fx_python)
    list(APPEND components ${KV_FX_DEB_PYTHON})
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, python3-numpy, ${needs_runtime}")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS python3-pil)
    # As Debian's own Python packages do: compiled once installed, so that no
    # import by root leaves byte code of its own that a purge would leave
    # behind, and the byte code removed before the files.
    set(py_package ${KV_FX_DEB_PACKAGE_${KV_FX_DEB_PYTHON}})
    file(WRITE ${KV_FX_DEB_OUT}/python/postinst "#!/bin/sh
set -e
if [ \"$1\" = configure ] && command -v py3compile >/dev/null 2>&1; then
\tpy3compile -p ${py_package}
fi
")
    file(WRITE ${KV_FX_DEB_OUT}/python/prerm "#!/bin/sh
set -e
if command -v py3clean >/dev/null 2>&1; then
\tpy3clean -p ${py_package}
else
\tfind /usr/lib/python3/dist-packages/kelvo_fx -name __pycache__ -type d -exec rm -rf {} +
fi
")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${KV_FX_DEB_OUT}/python/postinst ${KV_FX_DEB_OUT}/python/prerm)
    set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python 3 interface to the libkelvo_fx raster image effects
${about}

This package holds the kelvo_fx module for Python 3: the effects on NumPy
arrays and Pillow images.")
  endif()

  set(CPACK_COMPONENTS_ALL ${components})
  foreach(component IN LISTS components)
    string(TOUPPER ${component} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${KV_FX_DEB_PACKAGE_${component}})
    kv_fx_deb_component(${component})
  endforeach()
endif()

include(CPack)
