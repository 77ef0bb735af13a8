# Reads catalogue.def for the manual pages: the types with their fields or
# arms, and the messages of the plain-struct API.  Included by pages.cmake and
# links.cmake; parcel_read_catalogue(FILE) sets, in the caller's scope,
#
#   PARCEL_TYPES               every type, in catalogue order
#   PARCEL_KIND_<T>            struct or union
#   PARCEL_GROUP_<T>           scenario, vuser, load_goal or vudbg
#   PARCEL_ITEMS_<T>           its fields as index:kind:name, or its arms as
#                              position:arm:arm type
#   PARCEL_MESSAGES            every message, in catalogue order
#   PARCEL_RECORD_<msg>        the record type the message mirrors
#   PARCEL_OPTIONAL_<msg>      the mask of its fields read only when carried

function(parcel_read_catalogue file)
  file(READ "${file}" text)
  # One line per definition: continued lines joined, no list separators.
  string(REPLACE "\\\n" " " text "${text}")
  string(REPLACE ";" "," text "${text}")

  string(REGEX MATCHALL "\n#define PARCEL_(FIELDS|ARMS)_[a-z_]+\\(X\\)[^\n]*" definitions "${text}")
  foreach(definition IN LISTS definitions)
    string(REGEX MATCH "PARCEL_(FIELDS|ARMS)_([a-z_]+)\\(X\\)" _ "${definition}")
    set(type ${CMAKE_MATCH_2})
    string(REGEX MATCHALL "X\\([^)]*\\)" entries "${definition}")
    set(items "")
    foreach(entry IN LISTS entries)
      string(REGEX MATCH "^X\\(([0-9]+), *([a-z_]+), *([a-z_0-9]+)\\)$" _ "${entry}")
      if(NOT CMAKE_MATCH_0)
        message(FATAL_ERROR "catalogue.def: cannot read '${entry}' of ${type}")
      endif()
      list(APPEND items "${CMAKE_MATCH_1}:${CMAKE_MATCH_2}:${CMAKE_MATCH_3}")
    endforeach()
    set(items_${type} "${items}")
  endforeach()

  set(types "")
  set(messages "")
  string(REGEX MATCHALL "\nPARCEL_(STRUCT|UNION|MESSAGE)\\([^)]*\\)" rows "${text}")
  foreach(row IN LISTS rows)
    string(REGEX MATCH "PARCEL_([A-Z]+)\\(([a-z_]+), *([a-z_]+), *([^)]*)\\)" _ "${row}")
    set(what ${CMAKE_MATCH_1})
    set(first ${CMAKE_MATCH_2})
    set(second ${CMAKE_MATCH_3})
    set(third "${CMAKE_MATCH_4}")
    if(what STREQUAL "MESSAGE")
      list(APPEND messages ${first})
      set(PARCEL_RECORD_${first} ${second} PARENT_SCOPE)
      string(REGEX REPLACE "([0-9])[uU]" "\\1" mask "${third}")
      math(EXPR mask "${mask}")
      set(PARCEL_OPTIONAL_${first} ${mask} PARENT_SCOPE)
    else()
      list(APPEND types ${second})
      string(TOLOWER ${what} kind)
      set(PARCEL_KIND_${second} ${kind} PARENT_SCOPE)
      set(PARCEL_GROUP_${second} ${first} PARENT_SCOPE)
      set(PARCEL_ITEMS_${second} "${items_${second}}" PARENT_SCOPE)
    endif()
  endforeach()
  list(LENGTH types count)
  if(count EQUAL 0)
    message(FATAL_ERROR "catalogue.def: no types found in ${file}")
  endif()
  set(PARCEL_TYPES "${types}" PARENT_SCOPE)
  set(PARCEL_MESSAGES "${messages}" PARENT_SCOPE)
endfunction()
