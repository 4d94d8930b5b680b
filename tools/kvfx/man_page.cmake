# Writes kvfx.1 and kvfx.1.gz from what the built tool says of itself: the
# synopsis, description, options and exit status of `kvfx --help`, and for
# each effect of catalogue.json the parameter lines of `kvfx help EFFECT`
# (default, unit, range, other name), so the page can never tell a user
# anything the tool would not.
#   cmake -DKVFX=kvfx [-DEMULATOR=...] -DCATALOGUE=catalogue.json -DVERSION=x.y.z
#         -DOUT=dir/kvfx.1 -P man_page.cmake
cmake_minimum_required(VERSION 3.20)
foreach(var KVFX CATALOGUE VERSION OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "man_page: ${var} not given")
  endif()
endforeach()
string(REPLACE ";" " " emulator "${EMULATOR}")
separate_arguments(emulator UNIX_COMMAND "${emulator}")

function(kvfx_says out)
  execute_process(COMMAND ${emulator} ${KVFX} ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "man_page: kvfx ${ARGN} failed (${rc})")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Text as roff: backslashes printed, every '-' a minus (options are typed),
# no line read as a request. Semicolons travel through the lists below as
# <semicolon>.
function(roff out text)
  string(REPLACE "<semicolon>" ";" text "${text}")
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

kvfx_says(help --help)
# Blocks apart by blank lines; the usage block goes on into the first
# paragraph of the description without one.
string(REPLACE ";" "<semicolon>" help "${help}")
string(REGEX REPLACE "\n\n+" ";" blocks "${help}")
set(synopsis "")
set(description "")
set(options "")
set(exit_status "")
foreach(block IN LISTS blocks)
  string(STRIP "${block}" block)
  string(REPLACE "\n" ";" lines "${block}")
  if(block MATCHES "^usage: ")
    set(rest "")
    foreach(line IN LISTS lines)
      if(rest STREQUAL "" AND line MATCHES "^(usage:)? +kvfx (.*)$")
        roff(args "${CMAKE_MATCH_2}")
        string(APPEND synopsis "\\fBkvfx\\fR ${args}\n")
      else()
        string(APPEND rest "${line}\n")
      endif()
    endforeach()
    if(rest)
      roff(rest "${rest}")
      string(APPEND description ".PP\n${rest}")
    endif()
  elseif(block MATCHES "^OPTIONS:")
    list(REMOVE_AT lines 0)
    foreach(line IN LISTS lines)
      if(line MATCHES "^(-[^ ]*( [A-Z]+)?)  +(.*)$")
        roff(tag "${CMAKE_MATCH_1}")
        roff(text "${CMAKE_MATCH_3}")
        string(APPEND options ".TP\n.B ${tag}\n${text}\n")
      elseif(line MATCHES "^ +(.*)$" AND options)
        roff(text "${CMAKE_MATCH_1}")
        string(APPEND options "${text}\n")
      else()
        message(FATAL_ERROR "man_page: cannot read the option line '${line}'")
      endif()
    endforeach()
  elseif(block MATCHES "^exit status: (.*)$")
    # "0 done, 1 a file could not be read, ..., 2 ...": one entry a status.
    string(REPLACE "\n" " " codes "${CMAKE_MATCH_1}")
    string(REGEX REPLACE "\\.$" "" codes "${codes}")
    string(REGEX REPLACE "(^|, )([0-9]+) " ";\\2 " codes "${codes}")
    foreach(code IN LISTS codes)
      if(code MATCHES "^([0-9]+) (.*)$")
        roff(text "${CMAKE_MATCH_2}")
        string(APPEND exit_status ".TP\n.B ${CMAKE_MATCH_1}\n${text}\n")
      endif()
    endforeach()
  elseif(block MATCHES "^effects:" OR block MATCHES "^kvfx help EFFECT")
    # The effects come from the catalogue, each with its parameters.
  else()
    roff(text "${block}\n")
    string(APPEND description ".PP\n${text}")
  endif()
endforeach()
foreach(part synopsis description options exit_status)
  if("${${part}}" STREQUAL "")
    message(FATAL_ERROR "man_page: kvfx --help gave no ${part}")
  endif()
endforeach()

# Each catalogued effect with its parameters as `kvfx help EFFECT` lists them;
# every parameter and other name of the catalogue must be among them.
file(READ "${CATALOGUE}" catalogue)
string(JSON n_effects LENGTH "${catalogue}" effects)
math(EXPR last_effect "${n_effects} - 1")
set(effects "")
foreach(i RANGE ${last_effect})
  string(JSON name GET "${catalogue}" effects ${i} name)
  string(JSON summary GET "${catalogue}" effects ${i} summary)
  kvfx_says(effect_help help ${name})
  string(REPLACE ";" "<semicolon>" effect_help "${effect_help}")
  string(REPLACE "\n" ";" lines "${effect_help}")
  roff(text "${summary}")
  string(APPEND effects ".SS ${name}\n${text}\n")
  set(listed "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^  ([a-z_0-9]+)=([^ ]+)  *(.*)$")
      set(param "${CMAKE_MATCH_1}")
      roff(value "${CMAKE_MATCH_2}")
      roff(text "${CMAKE_MATCH_3}")
      string(APPEND effects ".TP\n\\fB${param}\\fR=\\fI${value}\\fR\n${text}\n")
      string(APPEND listed " ${param}=${CMAKE_MATCH_3} ")
    endif()
  endforeach()
  string(JSON n_params LENGTH "${catalogue}" effects ${i} params)
  if(n_params GREATER 0)
    math(EXPR last_param "${n_params} - 1")
    foreach(j RANGE ${last_param})
      string(JSON param GET "${catalogue}" effects ${i} params ${j} name)
      string(JSON alias GET "${catalogue}" effects ${i} params ${j} alias)
      string(FIND "${listed}" " ${param}=" at)
      if(at LESS 0)
        message(FATAL_ERROR "man_page: kvfx help ${name} does not list ${param}")
      endif()
      if(alias AND NOT alias STREQUAL "null")
        string(FIND "${listed}" "(also ${alias}=)" at)
        if(at LESS 0)
          message(FATAL_ERROR "man_page: kvfx help ${name} does not give ${param}'s other name ${alias}")
        endif()
      endif()
    endforeach()
  endif()
endforeach()

# The date of the build, or of SOURCE_DATE_EPOCH for a reproducible one.
string(TIMESTAMP date "%Y-%m-%d" UTC)
roff(version "${VERSION}")
file(WRITE "${OUT}" ".\\\" Written at build time from kvfx --help and catalogue.json.
.TH KVFX 1 \"${date}\" \"kvfx ${version}\" \"User Commands\"
.SH NAME
kvfx \\- apply raster image effects to PNG and JPEG files
.SH SYNOPSIS
.nf
${synopsis}.fi
.SH DESCRIPTION
${description}.SH OPTIONS
${options}.SH EFFECTS
An effect's parameters are given as \\fIname\\fR=\\fIvalue\\fR after its name;
each line below gives the default, the unit and the accepted range.
${effects}.SH \"EXIT STATUS\"
${exit_status}")
# Compressed as Debian wants its manual pages: best ratio, no name or time
# in the header, so that the same page gives the same bytes.
find_program(GZIP gzip REQUIRED)
execute_process(COMMAND ${GZIP} -9 -n -c "${OUT}" OUTPUT_FILE "${OUT}.gz" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "man_page: gzip failed")
endif()
