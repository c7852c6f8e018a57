# Which folder may include which library's headers, checked by the build.

# corvane_layer_folder(target folder forbidden [skipped]): fails the build of
# `target` when a file of `folder` (but those matching `skipped`) includes a
# header that matches the regular expression `forbidden`.
function(corvane_layer_folder target folder forbidden)
  file(GLOB files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.h
       ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cc)
  if(ARGN)
    list(FILTER files EXCLUDE REGEX "${ARGN}")
  endif()
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.includes-checked)
  string(REPLACE ";" "," file_list "${files}")
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} "-DFORBIDDEN=${forbidden}" "-DFILES=${file_list}" -DSTAMP=${stamp}
            -P ${PROJECT_SOURCE_DIR}/cmake/check_includes.cmake
    DEPENDS ${files} ${PROJECT_SOURCE_DIR}/cmake/check_includes.cmake
    COMMENT "Checking the includes of ${folder}" VERBATIM)
  add_custom_target(${target}_includes DEPENDS ${stamp})
  add_dependencies(${target} ${target}_includes)
endfunction()

set(cyclone_headers "<dds/")
set(fastdds_headers "<(fastdds|fastrtps|fastcdr)/")
set(yaml_headers "<yaml-cpp/")
set(layer_headers "(${cyclone_headers}|${fastdds_headers}|${yaml_headers})")
