# Makes one manual page from its scdoc source: fills in what the catalogue
# gives, runs scdoc, tidies its output, and writes the page twice, plain (for
# the checks and man -l) and compressed with gzip -9n (to install).
#
#   cmake -DSETTINGS=settings.cmake -DSOURCE=NAME.N.scd -DPAGE=roff/manN/NAME.N
#         -DCOMPRESSED=<tree>/manN/NAME.N.gz -P pages.cmake
#
# Placeholders in a source, each alone on its line except @VERSION@ and the
# header names:
#
#   @VERSION@                 the project's version
#   @RECORDS_H@ @API_H@ ...   how a consumer includes each public header
#   @TYPES@                   a table of the thirty types
#   @MESSAGES@                a table of the seventeen messages
#   @MESSAGE_STRUCTS@         the C declaration of every parcel_<msg>_t
#   @CATALOGUE@               every type with its fields or arms
#
# The page is dated SOURCE_DATE_EPOCH as settings.cmake gives it.
cmake_minimum_required(VERSION 3.25)
include(${SETTINGS})
include(${CMAKE_CURRENT_LIST_DIR}/catalogue.cmake)
parcel_read_catalogue(${CATALOGUE})

# The length of the longest of the texts after `out`.
function(widest out)
  set(width 0)
  foreach(text IN LISTS ARGN)
    string(LENGTH "${text}" length)
    if(length GREATER width)
      set(width ${length})
    endif()
  endforeach()
  set(${out} ${width} PARENT_SCOPE)
endfunction()

# Spaces that pad `text` to `width` columns.
function(pad text width out)
  string(LENGTH "${text}" length)
  math(EXPR count "${width} - ${length}")
  string(REPEAT " " ${count} spaces)
  set(${out} "${spaces}" PARENT_SCOPE)
endfunction()

function(count_phrase count singular out)
  if(count EQUAL 1)
    set(${out} "1 ${singular}" PARENT_SCOPE)
  else()
    set(${out} "${count} ${singular}s" PARENT_SCOPE)
  endif()
endfunction()

function(type_summary type out)
  list(LENGTH PARCEL_ITEMS_${type} count)
  if(PARCEL_KIND_${type} STREQUAL "union")
    count_phrase(${count} arm phrase)
    set(${out} "union, ${phrase}" PARENT_SCOPE)
  else()
    count_phrase(${count} field phrase)
    set(${out} "struct, ${phrase}" PARENT_SCOPE)
  endif()
endfunction()

set(c_type_int "int32_t")
set(c_type_long "int32_t")
set(c_type_u_int "uint32_t")
set(c_type_u_long "uint32_t")
set(c_type_float "float")
set(c_type_double "double")
set(c_type_u_hyper "uint64_t")
set(c_type_wrapstring "char *")

# @TYPES@: each type and what it is, in a literal block (a table would wrap
# the longer names).
widest(width ${PARCEL_TYPES})
set(types_list "```\n")
foreach(type IN LISTS PARCEL_TYPES)
  type_summary(${type} summary)
  pad(${type} ${width} spaces)
  string(APPEND types_list "${type}${spaces}  ${summary}\n")
endforeach()
string(APPEND types_list "```\n")

# @MESSAGES@: each message and the record type that its structure mirrors.
widest(width ${PARCEL_MESSAGES})
set(messages_list "```\n")
foreach(message IN LISTS PARCEL_MESSAGES)
  pad(${message} ${width} spaces)
  string(APPEND messages_list "${message}${spaces}  ${PARCEL_RECORD_${message}}\n")
endforeach()
string(APPEND messages_list "```\n")

# @MESSAGE_STRUCTS@: the structures as the message API's header declares
# them, in one literal block.
set(structs "```\n")
foreach(message IN LISTS PARCEL_MESSAGES)
  set(record ${PARCEL_RECORD_${message}})
  if(NOT structs STREQUAL "```\n")
    string(APPEND structs "\n")
  endif()
  string(APPEND structs "/* the fields of ${record} */\ntypedef struct parcel_${message} {\n")
  foreach(item IN LISTS PARCEL_ITEMS_${record})
    string(REPLACE ":" ";" item "${item}")
    list(GET item 0 index)
    list(GET item 1 kind)
    list(GET item 2 name)
    set(declaration "${c_type_${kind}}")
    if(NOT declaration MATCHES "\\*$")
      string(APPEND declaration " ")
    endif()
    string(APPEND declaration "${name};")
    math(EXPR optional "(${PARCEL_OPTIONAL_${message}} >> ${index}) & 1")
    if(optional)
      pad("${declaration}" 24 spaces)
      string(APPEND declaration "${spaces}/* null unless the bytes carry it */")
    endif()
    string(APPEND structs "    ${declaration}\n")
  endforeach()
  string(APPEND structs "} parcel_${message}_t;\n")
endforeach()
string(APPEND structs "```\n")

# @CATALOGUE@: every type with its fields (index, name, kind) or arms
# (position, name, arm type), in one literal block, as `parcel types` lists
# them.
set(catalogue "```\n")
set(first TRUE)
foreach(type IN LISTS PARCEL_TYPES)
  if(NOT first)
    string(APPEND catalogue "\n")
  endif()
  set(first FALSE)
  type_summary(${type} summary)
  string(APPEND catalogue "${type}  ${summary}\n")
  # A field is index:kind:name, an arm position:name:type.
  if(PARCEL_KIND_${type} STREQUAL "struct")
    set(name_at 2)
    set(detail_at 1)
  else()
    set(name_at 1)
    set(detail_at 2)
  endif()
  set(names "")
  foreach(item IN LISTS PARCEL_ITEMS_${type})
    string(REPLACE ":" ";" item "${item}")
    list(GET item ${name_at} name)
    list(APPEND names ${name})
  endforeach()
  widest(width ${names})
  foreach(item IN LISTS PARCEL_ITEMS_${type})
    string(REPLACE ":" ";" item "${item}")
    list(GET item 0 number)
    list(GET item ${name_at} name)
    list(GET item ${detail_at} detail)
    pad("${name}" ${width} spaces)
    string(APPEND catalogue "  ${number}  ${name}${spaces}  ${detail}\n")
  endforeach()
endforeach()
string(APPEND catalogue "```\n")

file(READ ${SOURCE} text)
string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
foreach(header IN LISTS HEADERS)
  string(REPLACE "@${header}@" "${${header}}" text "${text}")
endforeach()
string(REPLACE "\n@TYPES@\n" "\n${types_list}" text "${text}")
string(REPLACE "\n@MESSAGES@\n" "\n${messages_list}" text "${text}")
string(REPLACE "\n@MESSAGE_STRUCTS@\n" "\n${structs}" text "${text}")
string(REPLACE "\n@CATALOGUE@\n" "\n${catalogue}" text "${text}")
if(text MATCHES "@[A-Z_]+@")
  message(FATAL_ERROR "${SOURCE}: unknown placeholder ${CMAKE_MATCH_0}")
endif()

get_filename_component(page_dir ${PAGE} DIRECTORY)
file(MAKE_DIRECTORY ${page_dir})
set(filled ${PAGE}.scd)
file(WRITE ${filled} "${text}")
set(ENV{SOURCE_DATE_EPOCH} ${EPOCH})
execute_process(COMMAND ${SCDOC} INPUT_FILE ${filled} OUTPUT_VARIABLE roff
  ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "scdoc failed on ${filled}, made from ${SOURCE}: ${errors}")
endif()
file(REMOVE ${filled})

# scdoc turns off hyphenation and justification before .TH, which turns them
# on again in groff: they go after it, so that identifiers stay whole.  It
# opens a paragraph after every heading, before the next one and at the end
# of an indented block, which man(7) formatters skip with a warning each: the
# last is moved behind the block, the others go.  Tables need tbl, which man
# runs for a page whose first line asks for it.
string(REPLACE "\n.nh\n.ad l\n" "\n" roff "${roff}")
string(REGEX REPLACE "\n(\\.TH [^\n]*)\n" "\n\\1\n.nh\n.ad l\n" roff "${roff}")
while(roff MATCHES "\n\\.P\n\\.RE\n")
  string(REPLACE "\n.P\n.RE\n" "\n.RE\n.P\n" roff "${roff}")
endwhile()
string(REGEX REPLACE "\n\\.P\n(\\.(SH|SS) )" "\n\\1" roff "${roff}")
string(REGEX REPLACE "\n(\\.(TH|SH|SS)[^\n]*)\n\\.P\n" "\n\\1\n" roff "${roff}")
if(roff MATCHES "\n\\.TS\n")
  set(roff "'\\\" t\n${roff}")
endif()

# Text lines of at most 80 bytes, as man(7) style asks: a filled line that
# scdoc's escapes made longer is broken at a single space, which filling
# turns back into that space; never in a no-fill block, before a control
# character, or after the end of a sentence, where a break would add space.
set(wrapped "")
set(fill TRUE)
while(NOT roff STREQUAL "")
  string(FIND "${roff}" "\n" end)
  if(end EQUAL -1)
    string(LENGTH "${roff}" end)
  endif()
  string(SUBSTRING "${roff}" 0 ${end} line)
  math(EXPR next "${end} + 1")
  string(SUBSTRING "${roff}" ${next} -1 roff)
  if(line MATCHES "^\\.nf")
    set(fill FALSE)
  elseif(line MATCHES "^\\.fi")
    set(fill TRUE)
  endif()
  string(LENGTH "${line}" length)
  while(fill AND length GREATER 80 AND NOT line MATCHES "^[.']")
    set(cut -1)
    foreach(at RANGE 1 79)
      string(SUBSTRING "${line}" ${at} 1 char)
      if(char STREQUAL " ")
        math(EXPR before "${at} - 1")
        math(EXPR after "${at} + 1")
        string(SUBSTRING "${line}" ${before} 1 previous)
        string(SUBSTRING "${line}" ${after} 1 following)
        if(NOT previous MATCHES "[ .?!]" AND NOT following MATCHES "[ .']")
          set(cut ${at})
        endif()
      endif()
    endforeach()
    if(cut EQUAL -1)
      break()
    endif()
    string(SUBSTRING "${line}" 0 ${cut} head)
    math(EXPR after "${cut} + 1")
    string(SUBSTRING "${line}" ${after} -1 line)
    string(APPEND wrapped "${head}\n")
    string(LENGTH "${line}" length)
  endwhile()
  string(APPEND wrapped "${line}\n")
endwhile()
file(WRITE ${PAGE} "${wrapped}")

get_filename_component(compressed_dir ${COMPRESSED} DIRECTORY)
file(MAKE_DIRECTORY ${compressed_dir})
execute_process(COMMAND ${GZIP} -9n -c ${PAGE} OUTPUT_FILE ${COMPRESSED} COMMAND_ERROR_IS_FATAL ANY)
