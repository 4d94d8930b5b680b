# Installs the plugin, run by cmake --install with CMAKE_INSTALL_PREFIX the
# prefix given then. Set by gst/CMakeLists.txt: KV_FX_GST_PLUGIN (the built
# file), KV_FX_GST_CHOSEN (KV_FX_GST_PLUGIN_DIR), KV_FX_GST_SYSTEM_DIR,
# KV_FX_GST_LIBDIR (where the libraries go), KV_FX_GST_BUILT_RPATH (the
# run path the plugin was linked with), KV_FX_GST_ARCH (the multiarch name,
# if any) and KV_FX_GST_STRIP (for cmake --install --strip).
include("${CMAKE_CURRENT_LIST_DIR}/plugin_dir.cmake")
kv_fx_gst_plugin_dir("${CMAKE_INSTALL_PREFIX}" "${KV_FX_GST_CHOSEN}" "${KV_FX_GST_SYSTEM_DIR}"
                     "${KV_FX_GST_LIBDIR}" dir scanned)
file(INSTALL "${KV_FX_GST_PLUGIN}" DESTINATION "${dir}" USE_SOURCE_PERMISSIONS)
get_filename_component(name "${KV_FX_GST_PLUGIN}" NAME)

set(plugin "$ENV{DESTDIR}${dir}/${name}")
if(CMAKE_INSTALL_DO_STRIP AND KV_FX_GST_STRIP)
  execute_process(COMMAND "${KV_FX_GST_STRIP}" --strip-unneeded "${plugin}")
endif()

# The plugin finds libkelvo_fx and libkelvo_fx_parallel in the installed
# library directory from wherever it went. The linked run path holds both
# usual places, so the exact one always fits in its room. A directory the
# loader searches by itself needs none.
if(IS_ABSOLUTE "${KV_FX_GST_LIBDIR}")
  set(libdir "${KV_FX_GST_LIBDIR}")
else()
  file(REAL_PATH "${CMAKE_INSTALL_PREFIX}" prefix)
  set(libdir "${prefix}/${KV_FX_GST_LIBDIR}")
endif()
set(searched /lib /usr/lib)
if(KV_FX_GST_ARCH)
  list(APPEND searched /lib/${KV_FX_GST_ARCH} /usr/lib/${KV_FX_GST_ARCH})
endif()
list(FIND searched "${libdir}" at)  # no IN_LIST: install scripts run without policies
if(at GREATER -1)
  file(RPATH_REMOVE FILE "${plugin}")
else()
  file(REAL_PATH "${dir}" real_dir)
  file(RELATIVE_PATH rel "${real_dir}" "${libdir}")
  string(REGEX REPLACE "/+$" "" rel "${rel}")
  set(rpath "$ORIGIN")
  if(rel)
    set(rpath "$ORIGIN/${rel}")
  endif()
  string(LENGTH "${rpath}" new_length)
  string(LENGTH "${KV_FX_GST_BUILT_RPATH}" room)
  if(new_length LESS_EQUAL room)
    file(RPATH_CHANGE FILE "${plugin}" OLD_RPATH "${KV_FX_GST_BUILT_RPATH}" NEW_RPATH "${rpath}")
  else()
    message(WARNING "kvfx plugin: ${dir} is too far from ${libdir} for its run path; "
                    "the plugin finds libkelvo_fx there only through LD_LIBRARY_PATH")
  endif()
endif()
if(NOT scanned)
  message(STATUS "kvfx plugin: GStreamer does not look in ${dir} by itself: "
                 "use it with GST_PLUGIN_PATH=${dir}")
endif()
