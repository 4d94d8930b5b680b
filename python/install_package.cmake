# Installs the package, run by cmake --install with CMAKE_INSTALL_PREFIX the
# prefix given then. Set by python/CMakeLists.txt: KV_FX_PY_INTERPRETER,
# KV_FX_PY_DIR (the cache's KV_FX_PYTHON_INSTALL_DIR, empty to choose),
# KV_FX_PY_FILES, KV_FX_PY_LIBRARIES, KV_FX_PY_CHOOSER (install_dir.py).
if(KV_FX_PY_DIR)
  set(where ${KV_FX_PY_DIR})
  if(NOT IS_ABSOLUTE "${where}")
    set(where "${CMAKE_INSTALL_PREFIX}/${where}")
  endif()
  set(searched "chosen")
else()
  execute_process(COMMAND "${KV_FX_PY_INTERPRETER}" "${KV_FX_PY_CHOOSER}" "${CMAKE_INSTALL_PREFIX}"
                  OUTPUT_VARIABLE chosen RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "kelvo_fx: ${KV_FX_PY_INTERPRETER} cannot say where the Python package "
                        "goes; set KV_FX_PYTHON_INSTALL_DIR")
  endif()
  string(REPLACE "\n" ";" chosen "${chosen}")
  list(GET chosen 0 where)
  list(GET chosen 1 searched)
endif()
file(INSTALL ${KV_FX_PY_FILES} DESTINATION "${where}/kelvo_fx")
# Under /usr (a system package: DESTDIR is only where it is staged) the
# libraries are the system's, in its library directory, and the package
# loads them by SONAME; everywhere else it carries its own copies, found
# beside it with no LD_LIBRARY_PATH.
cmake_path(SET prefix NORMALIZE "${CMAKE_INSTALL_PREFIX}/")
if(NOT prefix STREQUAL "/usr/")
  file(INSTALL ${KV_FX_PY_LIBRARIES} DESTINATION "${where}/kelvo_fx" USE_SOURCE_PERMISSIONS)
endif()
if(searched STREQUAL "not searched")
  message(STATUS "kelvo_fx: ${KV_FX_PY_INTERPRETER} does not look in ${where} by itself: "
                 "use the package with PYTHONPATH=${where}")
endif()
