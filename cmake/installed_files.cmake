# Run by the install twice, so that make uninstall needs no build tree. First
# (suite_step begin) it notes which of the installation's folders are missing; last
# (suite_step end) it writes the list tools/uninstall reads into the installation: every
# file the install put there, then the folders it created, deepest first with a trailing
# slash, all relative to the prefix. Folders an earlier install created stay on the list.
set(suite_root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(suite_list_path "${suite_root}/${suite_list}")

if(suite_step STREQUAL "begin")
  set(suite_created_folders)
  if(EXISTS "${suite_list_path}")
    file(STRINGS "${suite_list_path}" suite_created_folders REGEX "/$")
  endif()
  foreach(folder IN LISTS suite_folders)
    while(folder)
      if(NOT IS_DIRECTORY "${suite_root}/${folder}")
        list(APPEND suite_created_folders "${folder}/")
      endif()
      get_filename_component(folder "${folder}" DIRECTORY)
    endwhile()
  endforeach()
  list(REMOVE_DUPLICATES suite_created_folders)
  return()
endif()

set(suite_lines "# Written by the install; make uninstall removes these files, then these folders where left empty.\n")
foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
  # The manifest names a file with DESTDIR in front or without it.
  set(base "${suite_root}")
  cmake_path(IS_PREFIX base "${file}" NORMALIZE under_root)
  if(NOT under_root)
    set(base "${CMAKE_INSTALL_PREFIX}")
  endif()
  file(RELATIVE_PATH relative "${base}" "${file}")
  string(APPEND suite_lines "${relative}\n")
endforeach()
list(SORT suite_created_folders ORDER DESCENDING)
foreach(folder IN LISTS suite_created_folders)
  string(APPEND suite_lines "${folder}\n")
endforeach()
message(STATUS "Installing: ${suite_list_path}")
file(WRITE "${suite_list_path}" "${suite_lines}")
