# Read by cpack, once per generator.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
    message(WARNING "Debian packages belong in /usr, but this build installs into ${CPACK_PACKAGING_INSTALL_PREFIX}: "
                    "configure with -DCMAKE_INSTALL_PREFIX=/usr (scripts/package.sh does).")
endif()
