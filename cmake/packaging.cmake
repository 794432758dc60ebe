# Installation and packages. Included last by the top-level CMakeLists.txt.
#
#   cmake --install BUILD      the programs into bin, their manual pages (every
#                              <program folder>/*.1) into share/man/man1, the
#                              documents into share/doc/vrsalvage
#   cpack -G DEB  (Linux)      vrsalvage_<version>_<arch>.deb
#   cpack         (Windows)    vrsalvage-<version>-win32.zip: the .exe files,
#                              README.md, LICENSE and CHANGELOG.md side by side
#
# The tools and tests are never installed.
include(GNUInstallDirs)

set(VRS_PACKAGE_MAINTAINER "vrsalvage authors <vrsalvage-authors@example.org>"
    CACHE STRING "Maintainer field of the Debian package and its changelog entry")

# Every program folder holds its program's manual page, <program>/<program>.1;
# the pages name the programs to install.
file(GLOB vrs_man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/*/*.1)
foreach(page IN LISTS vrs_man_pages)
  get_filename_component(program ${page} NAME_WE)
  if(NOT TARGET ${program})
    message(FATAL_ERROR "${page}: no program ${program} is built")
  endif()
  if(WIN32)
    install(TARGETS ${program} RUNTIME DESTINATION .)
  else()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

if(WIN32)
  install(FILES README.md LICENSE CHANGELOG.md DESTINATION .)
  # The README's pictures, where its links find them.
  install(FILES docs/window.png docs/report-sample.png DESTINATION docs)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  # Generated documents: the licence as a Debian copyright file, the newest
  # section of CHANGELOG.md as a Debian changelog entry.
  set(vrs_package_dir ${CMAKE_BINARY_DIR}/package)

  file(READ ${PROJECT_SOURCE_DIR}/LICENSE vrs_license)
  string(FIND "${vrs_license}" "Permission is hereby granted" vrs_grant)
  if(vrs_grant EQUAL -1)
    message(FATAL_ERROR "LICENSE does not hold the MIT licence text")
  endif()
  string(SUBSTRING "${vrs_license}" ${vrs_grant} -1 vrs_license)
  string(STRIP "${vrs_license}" vrs_license)
  string(REPLACE "\n\n" "\n.\n" vrs_license "${vrs_license}")
  string(REPLACE "\n" "\n " vrs_license "${vrs_license}")
  file(WRITE ${vrs_package_dir}/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: ${PROJECT_NAME}\n"
       "\n"
       "Files: *\n"
       "Copyright: 2026 the vrsalvage authors\n"
       "License: Expat\n"
       " ${vrs_license}\n")

  # Each "- " line of the first "## " section becomes one "  * " item,
  # wrapped at 78 columns.
  file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md vrs_changelog_lines)
  set(vrs_in_section OFF)
  set(vrs_items "")
  foreach(line IN LISTS vrs_changelog_lines)
    if(line MATCHES "^## ")
      if(vrs_in_section)
        break()
      endif()
      set(vrs_in_section ON)
    elseif(vrs_in_section AND line MATCHES "^- (.*)$")
      string(REPLACE " " ";" vrs_words "${CMAKE_MATCH_1}")
      set(vrs_item "  *")
      set(vrs_column 3)
      foreach(word IN LISTS vrs_words)
        string(LENGTH "${word}" vrs_length)
        math(EXPR vrs_end "${vrs_column} + 1 + ${vrs_length}")
        if(vrs_end GREATER 78 AND vrs_column GREATER 4)
          string(APPEND vrs_item "\n    ${word}")
          math(EXPR vrs_column "4 + ${vrs_length}")
        else()
          string(APPEND vrs_item " ${word}")
          set(vrs_column ${vrs_end})
        endif()
      endforeach()
      string(APPEND vrs_items "${vrs_item}\n")
    endif()
  endforeach()
  if(vrs_items STREQUAL "")
    message(FATAL_ERROR "CHANGELOG.md: no '- ' lines in its first section")
  endif()
  # The entry is dated by the last commit when the sources are a git clone,
  # so that the same sources give the same package.
  if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
    find_package(Git QUIET)
    if(GIT_FOUND)
      execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                      OUTPUT_VARIABLE vrs_commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                      ERROR_QUIET RESULT_VARIABLE vrs_git_result)
      if(vrs_git_result EQUAL 0 AND vrs_commit_time MATCHES "^[0-9]+$")
        set(ENV{SOURCE_DATE_EPOCH} ${vrs_commit_time})
      endif()
    endif()
  endif()
  string(TIMESTAMP vrs_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${vrs_package_dir}/changelog
       "${PROJECT_NAME} (${PROJECT_VERSION}) unstable; urgency=medium\n"
       "\n"
       "${vrs_items}"
       "\n"
       " -- ${VRS_PACKAGE_MAINTAINER}  ${vrs_changelog_date}\n")

  # Manual pages and the changelog are installed compressed, as man and
  # Debian expect; gzip -n leaves out the name and time, so the bytes
  # depend on the text only.
  find_program(VRS_GZIP gzip)
  set(vrs_compressed "")
  if(VRS_GZIP)
    foreach(source IN LISTS vrs_man_pages ITEMS ${vrs_package_dir}/changelog)
      get_filename_component(name ${source} NAME)
      set(copy ${vrs_package_dir}/compressed/${name})
      add_custom_command(OUTPUT ${copy}.gz
                         COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
                         COMMAND ${VRS_GZIP} -9nf ${copy}
                         DEPENDS ${source}
                         COMMENT "Compressing ${name}"
                         VERBATIM)
      list(APPEND vrs_compressed ${copy}.gz)
    endforeach()
    add_custom_target(compressed_documents ALL DEPENDS ${vrs_compressed})
    list(TRANSFORM vrs_man_pages REPLACE "^.*/" "${vrs_package_dir}/compressed/")
    list(TRANSFORM vrs_man_pages APPEND .gz)
    set(vrs_changelog ${vrs_package_dir}/compressed/changelog.gz)
  else()
    set(vrs_changelog ${vrs_package_dir}/changelog)
  endif()
  install(FILES ${vrs_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md CHANGELOG.md ${vrs_package_dir}/copyright ${vrs_changelog}
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VRS_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The summary line is CPACK_PACKAGE_DESCRIPTION_SUMMARY (below).
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "vrsalvage copies the management file VR_MANGR.IFO and the movie file
VR_MOVIE.VRO of a DVD-VR disc recorded by a home DVD recorder. It talks to
the optical drive with MMC commands through SCSI pass-through and reads the
disc's UDF structures itself, so it still works where the file system no
longer mounts. In its recovery mode it writes the blocks that the file
system marks free, where erased recordings still lie.

With --keep-going it goes on past unreadable sectors, retries them and
keeps a GNU ddrescue mapfile to resume from.

sectorscope prints a hexadecimal dump of one block of the disc's UDF
partition.

Both programs also read a disc image file, such as one made by ddrescue.
They never write to the disc and never overwrite a file.

vrsplit cuts the salvaged files into one playable MPEG-2 file per
recording, named by its recording date, erased recordings included.")
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "the vrsalvage authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "${VRS_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
