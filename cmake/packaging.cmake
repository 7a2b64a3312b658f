# What an installation holds besides the programs (man pages, licence, README,
# changelog), and the Debian package `make package` builds from it with CPack.
set(SUITE_PACKAGE_NAME batch-suite)
# An install or cpack does not build the whole tree first: make install and make package
# build what they install, and in a test build tree cpack's check that all is built took
# longer than the packing.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(SUITE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${SUITE_PACKAGE_NAME})
set(SUITE_MAINTAINER "The batch suite developers <batch-suite@example.org>"
    CACHE STRING "Maintainer line of the Debian package and its changelog")
# The date of the release PROJECT_VERSION names, for the changelog; change both together.
set(SUITE_RELEASE_DATE "Tue, 08 Dec 2026 00:00:00 +0000")

# suite_installed_files(begin|end): the install's first and last rules, which write the
# list make uninstall reads (cmake/installed_files.cmake). SUITE_INSTALL_DIRS names every
# folder an install rule puts files in; the list is no part of the Debian package.
set(SUITE_INSTALLED_LIST ${SUITE_DOC_DIR}/installed-files)
set(SUITE_INSTALL_DIRS ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_MANDIR}/man1
    ${CMAKE_INSTALL_DATADIR}/bash-completion/completions ${SUITE_DOC_DIR})
function(suite_installed_files step)
  install(CODE "set(suite_step ${step})
set(suite_list \"${SUITE_INSTALLED_LIST}\")
set(suite_folders \"${SUITE_INSTALL_DIRS}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/installed_files.cmake\")" COMPONENT installed_files)
endfunction()
suite_installed_files(begin)

# suite_install_program(NAME): installs the program. A stripped install (cpack, or
# cmake --install --strip) also drops the .comment section, the compiler's and the C
# library's version strings, as Debian strips its own programs.
function(suite_install_program name)
  install(TARGETS ${name})
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
                          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${name}>\"
                  COMMAND_ERROR_IS_FATAL ANY)
endif()")
endfunction()

# suite_gzip(SOURCE OUTPUT): OUTPUT is SOURCE gzipped. -n leaves the name and time out
# of the gzip header, so the same text always gives the same bytes.
set(SUITE_GZIPPED)
function(suite_gzip source output)
  add_custom_command(OUTPUT ${output}
                     COMMAND gzip -9 -n -c ${source} > ${output}
                     DEPENDS ${source})
  set(SUITE_GZIPPED ${SUITE_GZIPPED} ${output} PARENT_SCOPE)
endfunction()

# Man pages and the changelog are installed gzipped, as man and dpkg expect them.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
file(GLOB SUITE_MAN_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.1)
foreach(page IN LISTS SUITE_MAN_PAGES)
  get_filename_component(name ${page} NAME)
  suite_gzip(${page} ${CMAKE_BINARY_DIR}/man/${name}.gz)
  install(FILES ${CMAKE_BINARY_DIR}/man/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/changelog @ONLY)
suite_gzip(${CMAKE_BINARY_DIR}/changelog ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${SUITE_DOC_DIR})

add_custom_target(doc_files ALL DEPENDS ${SUITE_GZIPPED})

# bash-completion loads a command's completion on first use from this folder: under /usr,
# under ~/.local/share, and under the prefix whose bin folder holds the command.
install(FILES ${PROJECT_SOURCE_DIR}/completion/reqpack
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${SUITE_DOC_DIR} RENAME copyright)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${SUITE_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${SUITE_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "The batch suite developers")
set(CPACK_PACKAGE_CONTACT ${SUITE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small command-line batch programs for fixed-format files")
# Lines of the extended description stay under 80 columns with the blank dpkg adds.
set(CPACK_PACKAGE_DESCRIPTION
    "Four batch programs that each run once without interaction: slotplan\n\
builds a sorted appointment list, reqpack converts appointment requests\n\
into 12-byte binary records, payrise raises salaries and writes them as\n\
56-byte records, and fieldsplit splits a built-in text into fields. Each\n\
reads its input files from the current directory and writes fixed-format\n\
text, fixed-layout binary records or standard output.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# One package of every component but the list of installed files.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${SUITE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
