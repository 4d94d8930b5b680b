# What a Windows user of kelvo_fx.dll depends on, checked from the files
# alone (objdump -p, nm, objdump -d):
#   - the DLL imports from KERNEL32.dll and the C runtime only: the C++
#     runtime, the unwinder and winpthreads are inside it;
#   - its export table, kelvo_fx.def and both import libraries name exactly
#     the header's KV_FX_API functions;
#   - no 256- or 512-bit aligned vector move touches memory in VECTOR_CODE
#     (the stack is only 16-byte aligned on Windows, so such a move faults
#     whenever a spill lands between two 32-byte boundaries).
# Either library: API names the macro its header's exports are declared
# with (KV_FX_API, KV_FX_PARALLEL_API).
# cmake -DOBJDUMP= -DNM= -DHEADER= -DAPI= -DDLL= -DIMPLIB= -DDEF= -DMSVC_IMPLIB=
#       -DVECTOR_CODE=file;file -P check_dll.cmake
cmake_minimum_required(VERSION 3.20)
foreach(var OBJDUMP NM HEADER API DLL IMPLIB DEF MSVC_IMPLIB VECTOR_CODE)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "check_dll: ${var} not given")
  endif()
endforeach()
set(failures 0)
macro(fail what)
  message(SEND_ERROR "check_dll: ${what}")
  math(EXPR failures "${failures} + 1")
endmacro()

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/header_exports.cmake)
kv_fx_header_exports(${HEADER} ${API} expected)
list(SORT expected)
list(LENGTH expected n_expected)
if(n_expected LESS 10)
  fail("found only ${n_expected} ${API} functions in ${HEADER}")
endif()

function(compare what found)
  list(FILTER found EXCLUDE REGEX "^$")
  list(SORT found)
  if(NOT found STREQUAL expected)
    set(extra ${found})
    list(REMOVE_ITEM extra ${expected})
    set(missing ${expected})
    if(found)
      list(REMOVE_ITEM missing ${found})
    endif()
    message(SEND_ERROR "check_dll: ${what}: unexpected [${extra}], missing [${missing}]")
    set(failures 1 PARENT_SCOPE)
  endif()
endfunction()

# 1. Imports and exports of the DLL.
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "check_dll: ${OBJDUMP} -p ${DLL} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" import_lines "${headers}")
set(imports "")
foreach(line IN LISTS import_lines)
  string(REGEX REPLACE "^DLL Name: *" "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" lower)
  list(APPEND imports ${dll})
  if(NOT lower MATCHES "^(kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
    fail("${DLL} imports ${dll}: only KERNEL32.dll and the C runtime may be needed")
  endif()
endforeach()
if(NOT "KERNEL32.dll" IN_LIST imports)
  fail("no KERNEL32.dll import found in ${DLL}: is this objdump -p output? ${imports}")
endif()
# The name table lists each exported name once, after its own heading.
# (Square brackets group CMake list elements: they go before splitting.)
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([ \t]+\\[ *[0-9]+\\] [^\n]*\n)*)" names "${headers}")
string(REGEX REPLACE "[ \t]+\\[ *[0-9]+\\] ([^\n]*)\n" "\\1;" exports "${CMAKE_MATCH_1}")
compare("export table of ${DLL}" "${exports}")
message(STATUS "imports: ${imports}")

# 2. The .def file the DLL and its .lib are made from.
get_filename_component(dll_name ${DLL} NAME)
file(STRINGS ${DEF} def_lines)
set(def_exports "")
set(in_exports FALSE)
foreach(line IN LISTS def_lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "EXPORTS")
    set(in_exports TRUE)
  elseif(in_exports AND NOT line STREQUAL "")
    list(APPEND def_exports ${line})
  elseif(line MATCHES "^LIBRARY" AND NOT line STREQUAL "LIBRARY ${dll_name}")
    fail("${DEF} names another DLL: ${line}")
  endif()
endforeach()
compare("${DEF}" "${def_exports}")

# 3. Each import library: the __imp_ pointers a caller links against.
foreach(lib ${IMPLIB} ${MSVC_IMPLIB})
  execute_process(COMMAND ${NM} --defined-only ${lib} OUTPUT_VARIABLE syms RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    fail("${NM} cannot read ${lib}")
    continue()
  endif()
  string(REGEX MATCHALL "__imp_[A-Za-z0-9_]+" imps "${syms}")
  set(names "")
  foreach(imp IN LISTS imps)
    string(REGEX REPLACE "^__imp_" "" name "${imp}")
    list(APPEND names ${name})
  endforeach()
  list(REMOVE_DUPLICATES names)
  compare("import library ${lib}" "${names}")
endforeach()

# 4. Aligned 256- and 512-bit moves with a memory operand.
set(wide_moves 0)
foreach(file IN LISTS VECTOR_CODE)
  get_filename_component(base ${file} NAME)
  set(listing ${CMAKE_CURRENT_BINARY_DIR}/${base}.disasm)
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${file}
                  OUTPUT_FILE ${listing} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    fail("${OBJDUMP} -d ${file} failed")
    continue()
  endif()
  file(STRINGS ${listing} moves REGEX "vmov(ap[sd]|dqa(32|64)?|ntdqa|ntp[sd]|ntdq) .*%[yz]mm")
  file(STRINGS ${listing} all_moves REGEX "vmov[a-z0-9]* .*%[yz]mm")
  file(REMOVE ${listing})
  list(FILTER moves INCLUDE REGEX "\\(")
  list(LENGTH moves n)
  list(LENGTH all_moves n_all)
  math(EXPR wide_moves "${wide_moves} + ${n_all}")
  if(n GREATER 0)
    list(SUBLIST moves 0 5 first)
    string(REPLACE ";" "\n" first "${first}")
    fail("${base}: ${n} aligned wide vector moves to or from memory, e.g.\n${first}")
  else()
    message(STATUS "${base}: ${n_all} wide vector moves, none of them aligned to memory")
  endif()
endforeach()

# No wide move at all would mean the listing is not what this reads.
if(wide_moves EQUAL 0)
  fail("no 256- or 512-bit move found in [${VECTOR_CODE}]: nothing was checked")
endif()

if(failures)
  message(FATAL_ERROR "check_dll: failed")
endif()
message(STATUS "check_dll: ${DLL} imports only [${imports}] and exports exactly ${n_expected} functions")
