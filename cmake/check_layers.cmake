# Run by the kvr_layer_check target (cmake -P): every library folder includes
# headers of exactly the folders it links, and of the public include/ folder.
# An include of a folder above, beside or outside the ones linked fails the
# build with the file, the line and the edge; a linked folder that nothing
# includes fails it too, so a library links nothing more than it uses.
#
# Inputs: KVR_SOURCE_DIR, KVR_RULES (KVR_LAYERS and KVR_DEPS_<folder>, written
# when the build is configured), KVR_STAMP (touched when all is well).
include(${KVR_RULES})

# The library folder a quoted include names: the longest layer folder that
# starts its path, else its first segment when that is a folder of the source
# tree (tests/, tools/, ...), else nothing (a header beside the includer).
function(include_folder path out)
  set(best "")
  foreach(layer IN LISTS KVR_LAYERS)
    string(LENGTH "${layer}/" n)
    string(SUBSTRING "${path}" 0 ${n} head)
    string(LENGTH "${best}" best_n)
    if(head STREQUAL "${layer}/" AND n GREATER best_n)
      set(best ${layer})
    endif()
  endforeach()
  if(best STREQUAL "" AND path MATCHES "^([^/]+)/" AND IS_DIRECTORY "${KVR_SOURCE_DIR}/${CMAKE_MATCH_1}")
    set(best ${CMAKE_MATCH_1})
  endif()
  set(${out} "${best}" PARENT_SCOPE)
endfunction()

set(errors "")
foreach(folder IN LISTS KVR_LAYERS)
  list(FIND KVR_LAYERS ${folder} rank)
  set(deps "${KVR_DEPS_${folder}}")
  set(used "")
  file(GLOB_RECURSE files RELATIVE ${KVR_SOURCE_DIR}
       ${KVR_SOURCE_DIR}/${folder}/*.h ${KVR_SOURCE_DIR}/${folder}/*.cc)
  list(SORT files)
  foreach(file IN LISTS files)
    # A file of a deeper layer (protocol/http/ inside protocol/) is its own.
    include_folder("${file}" owner)
    if(NOT owner STREQUAL folder)
      continue()
    endif()
    file(STRINGS ${KVR_SOURCE_DIR}/${file} lines)
    set(line_no 0)
    foreach(line IN LISTS lines)
      math(EXPR line_no "${line_no} + 1")
      if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"")
        continue()
      endif()
      set(path "${CMAKE_MATCH_1}")
      include_folder("${path}" target)
      if(target STREQUAL "" OR target STREQUAL folder OR target STREQUAL "include")
        continue()
      endif()
      list(FIND deps ${target} linked)
      if(linked GREATER -1)
        list(APPEND used ${target})
        continue()
      endif()
      list(FIND KVR_LAYERS ${target} target_rank)
      if(target_rank LESS 0)
        set(why "${target}/ is not a library")
      elseif(target_rank GREATER rank)
        set(why "${target} is above ${folder}")
      else()
        set(why "${folder} does not link ${target}; add it to the DEPS of ${folder}")
      endif()
      string(APPEND errors "${file}:${line_no}: forbidden include ${folder} -> ${target} "
                           "(\"${path}\"): ${why}\n")
    endforeach()
  endforeach()
  foreach(dep IN LISTS deps)
    list(FIND used ${dep} found)
    if(found LESS 0)
      string(APPEND errors "${folder}/: links ${dep} but includes nothing from it; "
                           "drop it from the DEPS of ${folder}\n")
    endif()
  endforeach()
endforeach()

if(errors)
  file(REMOVE ${KVR_STAMP})
  message(FATAL_ERROR "Library layers (cmake/KvrLibrary.cmake):\n${errors}")
endif()
file(TOUCH ${KVR_STAMP})
