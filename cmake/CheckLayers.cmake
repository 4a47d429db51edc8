# cmake -DSOURCE_DIR=<folder of subsystem folders> -P CheckLayers.cmake
# Fails, naming each offending line, when a file includes ("folder/header.h") a header of a
# folder its own folder may not use (cmake/LumewellLayers.cmake), reaches out of its folder by "../", or lives in a
# folder the layering does not know. Only quoted includes are ours: <pulse/...> is libpulse.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/LumewellLayers.cmake)
if(NOT IS_DIRECTORY "${SOURCE_DIR}")
  message(FATAL_ERROR "SOURCE_DIR is not a folder: '${SOURCE_DIR}'")
endif()

set(violations "")

# LINKS_FILE (optional) sets LUMEWELL_LINKS_<folder> to each subsystem target's link list.
if(DEFINED LINKS_FILE)
  include(${LINKS_FILE})
  foreach(folder IN LISTS LUMEWELL_LAYER_FOLDERS)
    # A folder allowed for one of its headers may be linked (its code behind that header).
    set(linkable "")
    foreach(entry IN LISTS LUMEWELL_LAYERS_${folder})
      string(REGEX REPLACE "/.*$" "" entry "${entry}")
      list(APPEND linkable ${entry})
    endforeach()
    foreach(link IN LISTS LUMEWELL_LINKS_${folder})
      if(link MATCHES "^lumewell_(.+)$" AND NOT CMAKE_MATCH_1 IN_LIST linkable)
        string(APPEND violations "  lumewell_${folder} links ${link}\n")
      endif()
    endforeach()
  endforeach()
endif()
file(GLOB folders LIST_DIRECTORIES true RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
foreach(folder IN LISTS folders)
  if(NOT IS_DIRECTORY ${SOURCE_DIR}/${folder})
    continue()
  endif()
  if(NOT DEFINED LUMEWELL_LAYERS_${folder})
    string(APPEND violations "  ${folder}/: a folder with no entry in LumewellLayers.cmake\n")
    continue()
  endif()
  set(allowed ${folder} ${LUMEWELL_LAYERS_${folder}})
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${folder}/*.h
       ${SOURCE_DIR}/${folder}/*.cc)
  foreach(file IN LISTS files)
    file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*$" "\\1" header
                           "${line}")
      if(header MATCHES "(^|/)\\.\\./")
        string(APPEND violations "  ${file}: ${header} (reaches out of its folder)\n")
        continue()
      endif()
      if(NOT header MATCHES "^([A-Za-z0-9_]+)/")
        continue()  # a header of its own folder
      endif()
      set(target ${CMAKE_MATCH_1})
      if(NOT IS_DIRECTORY ${SOURCE_DIR}/${target})
        continue()  # not one of ours
      endif()
      if(target IN_LIST allowed OR header IN_LIST allowed)
        continue()
      endif()
      string(APPEND violations "  ${file}: ${header} (${folder}/ may include: ${allowed})\n")
    endforeach()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "Includes across the layering (docs/architecture.md):\n${violations}")
endif()
message(STATUS "Every include under ${SOURCE_DIR} keeps to the layering")
