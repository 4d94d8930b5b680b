# Where libgstkvfx.so goes under an install prefix. Included when the build
# is configured (to say where) and when it is installed (for the prefix that
# cmake --install is given), so both decide alike:
#   KV_FX_GST_PLUGIN_DIR when it is set (relative: under the prefix);
#   GStreamer's own plugin directory when it lies in the prefix's lib
#     (--prefix /usr on Debian: /usr/lib/<multiarch>/gstreamer-1.0);
#   the user's plugin directory when the prefix holds it as
#     share/gstreamer-1.0/plugins (--prefix ~/.local: GStreamer scans
#     $XDG_DATA_HOME/gstreamer-1.0/plugins, by default ~/.local/share/...);
#   otherwise <prefix>/<libdir>/gstreamer-1.0, which GStreamer finds only
#     through GST_PLUGIN_PATH.
# Sets ${out_dir} to the directory and ${out_scanned} to TRUE where
# GStreamer looks by itself.
function(kv_fx_gst_plugin_dir prefix chosen system_dir libdir out_dir out_scanned)
  file(REAL_PATH "${prefix}" prefix)
  if(chosen)
    set(dir "${chosen}")
    if(NOT IS_ABSOLUTE "${dir}")
      set(dir "${prefix}/${dir}")
    endif()
    set(${out_dir} "${dir}" PARENT_SCOPE)
    set(${out_scanned} TRUE PARENT_SCOPE)  # the builder's own choice
    return()
  endif()
  if(system_dir)
    file(REAL_PATH "${system_dir}" system_real)
    file(RELATIVE_PATH rel "${prefix}" "${system_real}")
    if(rel MATCHES "^lib(64)?/")
      set(${out_dir} "${system_dir}" PARENT_SCOPE)
      set(${out_scanned} TRUE PARENT_SCOPE)
      return()
    endif()
  endif()
  if(DEFINED ENV{XDG_DATA_HOME} AND IS_ABSOLUTE "$ENV{XDG_DATA_HOME}")
    set(data_home "$ENV{XDG_DATA_HOME}")
  elseif(DEFINED ENV{HOME})
    set(data_home "$ENV{HOME}/.local/share")
  endif()
  if(data_home)
    file(REAL_PATH "${data_home}/gstreamer-1.0/plugins" user_dir)
    if(user_dir STREQUAL "${prefix}/share/gstreamer-1.0/plugins")
      set(${out_dir} "${user_dir}" PARENT_SCOPE)
      set(${out_scanned} TRUE PARENT_SCOPE)
      return()
    endif()
  endif()
  if(IS_ABSOLUTE "${libdir}")
    set(${out_dir} "${libdir}/gstreamer-1.0" PARENT_SCOPE)
  else()
    set(${out_dir} "${prefix}/${libdir}/gstreamer-1.0" PARENT_SCOPE)
  endif()
  set(${out_scanned} FALSE PARENT_SCOPE)
endfunction()
