# Installation and packages. On Linux: the programs to bin, the manual pages
# to share/man/man1, the README and the licence to the doc folder, and a .deb.
# For Windows: a .zip with the two programs, the README as text with CR LF,
# and the licence.
include(GNUInstallDirs)

if(WIN32)
  # Notepad on older Windows shows bare line feeds as one long line.
  file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${CMAKE_BINARY_DIR}/README.txt "${readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)

  install(TARGETS sprayl sprayl-check DESTINATION .)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
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
