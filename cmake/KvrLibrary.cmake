# One static library per source folder, linked in one direction only.
#
# KVR_LAYERS lists the library folders from the bottom up. A folder links (and
# includes) only folders before it; kvr_library() refuses an upward link when
# the build is configured, and the kvr_layer_check target refuses an include
# that its folder does not link when the build runs, so an upward edge can
# enter neither way. Each folder is the target kvr_<folder>, '/' made '_'.
set(KVR_LAYERS
  platform
  svrframe
  io
  sdp
  protocol/http
  protocol/message
  protocol/tcp
  media
  store
  api)

function(kvr_layer_target folder out)
  string(REPLACE "/" "_" name "kvr_${folder}")
  set(${out} ${name} PARENT_SCOPE)
endfunction()

# kvr_library(FOLDER [DEPS folder...] SOURCES file...): the library of FOLDER,
# which includes headers of exactly the DEPS folders (and of the public
# include/ folder). Libraries from outside the project are linked by the
# caller, privately unless a public header of FOLDER includes them.
function(kvr_library folder)
  cmake_parse_arguments(arg "" "" "DEPS;SOURCES" ${ARGN})
  list(FIND KVR_LAYERS ${folder} rank)
  if(rank LESS 0)
    message(FATAL_ERROR "kvr_library: ${folder} is not in KVR_LAYERS (cmake/KvrLibrary.cmake)")
  endif()
  kvr_layer_target(${folder} target)
  add_library(${target} STATIC ${arg_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  foreach(dep IN LISTS arg_DEPS)
    list(FIND KVR_LAYERS ${dep} dep_rank)
    if(dep_rank LESS 0 OR NOT dep_rank LESS rank)
      message(FATAL_ERROR "${folder} may not link ${dep}: a library links only the folders "
                          "before it in KVR_LAYERS (cmake/KvrLibrary.cmake)")
    endif()
    kvr_layer_target(${dep} dep_target)
    target_link_libraries(${target} PUBLIC ${dep_target})
  endforeach()
  string(REPLACE ";" "," deps "${arg_DEPS}")
  set_property(GLOBAL APPEND PROPERTY KVR_LAYER_DEPS "${folder}=${deps}")
  # A layer error is reported before the compiler's errors it would cause.
  add_dependencies(${target} kvr_layer_check)
endfunction()

# The check that every library folder includes exactly what it links. Called
# once, after every folder has declared its library.
function(kvr_layer_check_rules)
  get_property(edges GLOBAL PROPERTY KVR_LAYER_DEPS)
  set(text "set(KVR_LAYERS \"${KVR_LAYERS}\")\n")
  set(sources "")
  foreach(edge IN LISTS edges)
    string(REPLACE "=" ";" parts "${edge}")
    list(GET parts 0 folder)
    set(deps "")
    list(LENGTH parts n)
    if(n GREATER 1)
      list(GET parts 1 deps)
      string(REPLACE "," ";" deps "${deps}")
    endif()
    string(APPEND text "set(\"KVR_DEPS_${folder}\" \"${deps}\")\n")
    file(GLOB_RECURSE files CONFIGURE_DEPENDS
         ${PROJECT_SOURCE_DIR}/${folder}/*.h ${PROJECT_SOURCE_DIR}/${folder}/*.cc)
    list(APPEND sources ${files})
  endforeach()
  set(rules ${CMAKE_BINARY_DIR}/kvr_layers.cmake)
  file(CONFIGURE OUTPUT ${rules} CONTENT "${text}")
  set(stamp ${CMAKE_BINARY_DIR}/kvr_layers.stamp)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DKVR_SOURCE_DIR=${PROJECT_SOURCE_DIR} -DKVR_RULES=${rules}
            -DKVR_STAMP=${stamp} -P ${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake
    DEPENDS ${sources} ${rules} ${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake
    COMMENT "Checking that each library folder includes only what it links"
    VERBATIM)
  add_custom_target(kvr_layer_check ALL DEPENDS ${stamp})
endfunction()
