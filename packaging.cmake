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
set(CPACK_STRIP_FILES ON)
include(CPack)
