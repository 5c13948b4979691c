# Installation and packages. On Linux: the programs to bin, the manual pages
# to share/man/man1, the README, its topic pages (in doc/ beside it), the
# images they show and the licence to the doc folder, and a .deb. For
# Windows: a .zip with the two programs, the README and its topic pages as
# text with CR LF, the images and the licence.
include(GNUInstallDirs)

# The topic pages that the README links to, one row each.
set(sprayl_doc_pages
    building.md
    byte-format.md
    drive-identity.md
    drive-test.md
    json-report.md
    performance.md
    probe.md
    report.md
    running.md
    speed.md
    sprayl-check.md
    statistical-quality.md
    testing.md
    transfer-test.md
    windows.md)

# The images that the topic pages show, by their paths in the source tree,
# installed at the same place beside doc/ so that the pages' links
# (../bench/throughput.png) find them.
set(sprayl_doc_images bench/throughput.png)

# Installs the images under destination.
function(sprayl_install_doc_images destination)
  foreach(image IN LISTS sprayl_doc_images)
    get_filename_component(folder ${image} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/${image} DESTINATION ${destination}${folder})
  endforeach()
endfunction()

# Writes a Markdown file as a .txt with CR LF line ends, its links to the other
# pages (name.md, name.md#part) pointing at their .txt names.
function(sprayl_write_text_page source target)
  file(READ ${source} text)
  string(REGEX REPLACE "\\]\\(([^)#]*)\\.md([)#])" "](\\1.txt\\2" text "${text}")
  # Notepad on older Windows shows bare line feeds as one long line.
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${target} "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()

if(WIN32)
  sprayl_write_text_page(${PROJECT_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/README.txt)
  set(text_pages)
  foreach(page IN LISTS sprayl_doc_pages)
    string(REGEX REPLACE "\\.md$" ".txt" text_page ${CMAKE_BINARY_DIR}/doc/${page})
    sprayl_write_text_page(${PROJECT_SOURCE_DIR}/doc/${page} ${text_page})
    list(APPEND text_pages ${text_page})
  endforeach()

  install(TARGETS sprayl sprayl-check DESTINATION .)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  install(FILES ${text_pages} DESTINATION doc)
  sprayl_install_doc_images("")

  set(CPACK_GENERATOR ZIP)
  # The shipped archive is the 32-bit build's; the 64-bit build, which the
  # tests run under wine64, would make a win64 one.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  # The manual pages give the version and, as their date, the banner's date
  # in the form that man(7) asks for: "Aug 10 2020" becomes 2020-08-10.
  string(REGEX MATCH "^([A-Z][a-z][a-z]) +([0-9]+) +([0-9]+)$" date_parts "${SPRAYL_BUILD_DATE}")
  if(NOT date_parts)
    message(FATAL_ERROR "SPRAYL_BUILD_DATE is not of the form \"Aug 10 2020\"")
  endif()
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(FIND months "${CMAKE_MATCH_1}" month)
  math(EXPR month "${month} + 1")
  math(EXPR day "${CMAKE_MATCH_2}")
  set(year "${CMAKE_MATCH_3}")
  string(REGEX REPLACE "^([0-9])$" "0\\1" month "${month}")
  string(REGEX REPLACE "^([0-9])$" "0\\1" day "${day}")
  set(SPRAYL_MAN_DATE "${year}-${month}-${day}")

  set(sprayl_man_pages ${CMAKE_BINARY_DIR}/doc/sprayl.1 ${CMAKE_BINARY_DIR}/doc/sprayl-check.1)
  foreach(page IN LISTS sprayl_man_pages)
    get_filename_component(name ${page} NAME)
    configure_file(${PROJECT_SOURCE_DIR}/doc/${name}.in ${page} @ONLY)
  endforeach()

  install(TARGETS sprayl sprayl-check DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${sprayl_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  list(TRANSFORM sprayl_doc_pages PREPEND ${PROJECT_SOURCE_DIR}/doc/ OUTPUT_VARIABLE doc_page_files)
  install(FILES ${doc_page_files} DESTINATION ${CMAKE_INSTALL_DOCDIR}/doc)
  sprayl_install_doc_images(${CMAKE_INSTALL_DOCDIR}/)

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # dpkg-shlibdeps (from dpkg-dev) computes the dependencies.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_STRIP_FILES ON)
endif()

set(CPACK_PACKAGE_VENDOR "the sprayl authors")
set(CPACK_PACKAGE_CONTACT "the sprayl authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fast generator of pseudo-random bytes")
# Lines of the .deb's long description.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "sprayl writes an endless stream of pseudo-random bytes to its standard\n"
       "output, as fast as the reader takes them: for statistical test suites,\n"
       "for filling files and drives with data that does not compress, and for\n"
       "loading pipes, disks and networks. The generator is not cryptographic.\n"
       "sprayl-check checks a stream that sprayl wrote byte for byte, for drive\n"
       "and transfer tests.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
include(CPack)
