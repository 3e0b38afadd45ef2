# The Debian package: `cpack -G DEB` in the build directory writes
# kormald_<version>_<arch>.deb there.
set(CPACK_PACKAGE_NAME kormald)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The kormald developers")
set(CPACK_PACKAGE_CONTACT "kormald maintainers <maintainers@kormald.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list the disk-controller drivers a Windows 9x/Me registry records")
# The long description: CPack puts the summary first and indents each line.
set(CPACK_PACKAGE_DESCRIPTION "kormald reads the registry of a Windows 95, 98 or Me machine (the hives
SYSTEM.DAT and USER.DAT, .reg exports, or a Windows directory) and lists its
disk controllers: port driver, setup (.INF) file and description.

regwalk walks such a registry under a wildcard path pattern, prints keys and
values, exports REGEDIT4 files, and recovers the key records a hive keeps in
its free space.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# What the tools link is found by dpkg-shlibdeps; what they load only on
# demand (with dlopen) is named here by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(KORMALD_ON_DEMAND_DEPENDS "" CACHE STRING "Packages of libraries the tools load only on demand")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${KORMALD_ON_DEMAND_DEPENDS}")
set(CPACK_GENERATOR DEB)
if(NOT WIN32)
  # What Debian keeps beside every package: its README and its changelog.
  set(KORMALD_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kormald)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${KORMALD_DOC_DIR})
  install(FILES ${PROJECT_SOURCE_DIR}/CHANGELOG DESTINATION ${KORMALD_DOC_DIR} RENAME changelog)
endif()
set(CPACK_STRIP_FILES ON)
if(WIN32)
  # The Windows download: `cpack -G ZIP` in the build directory writes
  # kormald-<version>-win32.zip (win64 for the 64-bit build), with the
  # READMEs as text with CR LF line ends, as Notepad on Windows 9x reads it.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME kormald-${PROJECT_VERSION}-win32)
  else()
    set(CPACK_PACKAGE_FILE_NAME kormald-${PROJECT_VERSION}-win64)
  endif()
  # README.txt is written for the Windows user (one screen, ASCII); the
  # whole README comes beside it. Both with CR LF.
  foreach(pair "README-windows.txt:README.txt" "README.md:README-full.txt")
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${from})
    file(READ ${PROJECT_SOURCE_DIR}/${from} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${PROJECT_BINARY_DIR}/${to} "${text}")
    install(FILES ${PROJECT_BINARY_DIR}/${to} DESTINATION .)
  endforeach()
endif()
include(CPack)
