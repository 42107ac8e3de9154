# What `cmake --install` puts where (GNUInstallDirs), and the Debian package
# CPack builds from the same rules (`make package`). Linux only: Windows
# hosts get the zip of scripts/dist.sh.

# The driver (loaded by path) and the host runtime (linked by ulohost and
# by any other host) in the library directory; their interfaces for hosts.
install(TARGETS ulopr1 zempro LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/ulopr1/ulo.h include/ulopr1/zempro.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ulopr1)
install(FILES zempro/include/zempro/control.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zempro)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(ULO_BUILD_TOOLS)
  install(TARGETS ulohost prv1sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES examples/site.toml examples/points.toml
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  # The manual pages, compressed as Debian ships them.
  set(man_pages)
  foreach(program ulohost prv1sim)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/tools/${program}/${program}.1
              > ${page}
      DEPENDS ${PROJECT_SOURCE_DIR}/tools/${program}/${program}.1
      VERBATIM)
    list(APPEND man_pages ${page})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The systemd unit names the installed ulohost and its config, so it is
  # written at install time, when the prefix is known (/etc for /usr, else
  # PREFIX/etc, as GNUInstallDirs has it).
  set(unit ${CMAKE_BINARY_DIR}/packaging/ulohost.service)
  install(CODE "
    set(ULOHOST_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(ULOHOST_SYSCONFDIR \"\${CMAKE_INSTALL_PREFIX}/etc\")
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(ULOHOST_SYSCONFDIR /etc)
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/packaging/linux/ulohost.service.in
                   ${unit} @ONLY)")
  install(FILES ${unit} DESTINATION lib/systemd/system)
endif()

# The Debian package: everything above under /usr, the user made by the
# maintainer scripts, dependencies from dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ulopr1)
set(CPACK_PACKAGE_CONTACT
    "ulopr1 maintainers <maintainers@users.noreply.c-seed-20ffd1ba.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "PRV1 building controller driver, host program and simulator")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "libulopr1.so talks to Landis & Staefa PRV1 controllers over serial lines.
ulohost loads it, runs the instances a site config names (as a systemd
service: ulohost.service), shows gate values and takes writes; prv1sim
simulates a controller for commissioning without hardware.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS systemd)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/linux/postinst
    ${PROJECT_SOURCE_DIR}/packaging/linux/prerm
    ${PROJECT_SOURCE_DIR}/packaging/linux/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The install runs with the package's prefix, so the unit names /usr/bin.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)
