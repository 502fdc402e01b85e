# What `cmake --install` puts beside the programs (each program's folder
# installs the program itself), and the Debian package CPack makes of the
# install: one package for the companions, one for each file manager's
# module.
set(krv_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(krv_generated ${PROJECT_BINARY_DIR}/packaging)

# The service file and the desktop entry name installed paths, so they are
# written at install time, for the prefix in use then.
install(CODE "set(KRV_PACKAGING_DIR \"${krv_packaging}\")
set(KRV_OUTPUT_DIR \"${krv_generated}\")
set(KRV_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
set(KRV_LIBEXECDIR \"${CMAKE_INSTALL_LIBEXECDIR}\")")
install(SCRIPT ${krv_packaging}/install-time.cmake)
install(FILES ${krv_generated}/com.korvaneapp.v3.FinderSync.service
        DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/services)
install(FILES ${krv_generated}/com.korvaneapp.v3.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# Man pages, compressed at build time as Debian keeps them.
find_program(KRV_GZIP gzip REQUIRED)
set(krv_manpages)
foreach(page whereapp.1 korvane-app.1 finder-cli.1)
  add_custom_command(OUTPUT ${krv_generated}/${page}.gz
                     COMMAND ${KRV_GZIP} -9nc ${krv_packaging}/man/${page} > ${krv_generated}/${page}.gz
                     DEPENDS ${krv_packaging}/man/${page})
  list(APPEND krv_manpages ${krv_generated}/${page}.gz)
endforeach()
add_custom_target(man-pages ALL DEPENDS ${krv_manpages})
install(FILES ${krv_manpages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES docs/badges.png DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

# The Debian packages, one per part: korvane-companions holds everything
# but the file-manager modules, and each file manager's module is a package
# of its own, so that a desktop installs only its own file manager's
# libraries. CPack installs with DESTDIR set and the prefix left at /usr, so
# the service file and the desktop entry name /usr paths.
set(CPACK_GENERATOR DEB)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_NAME korvane-companions)
set(CPACK_PACKAGE_CONTACT "Korvane developers <developers@korvaneapp.com>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION vcs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_COMPANIONS_PACKAGE_NAME korvane-companions)
set(CPACK_COMPONENT_COMPANIONS_DESCRIPTION "Subversion badges and menus for Linux file managers
The desktop companions of the Korvane Subversion client: a session-bus
service that badges the files of registered working copies with their
Subversion status and hands context-menu commands to the application,
an ssh askpass helper that answers from the desktop keyring, and whereapp,
which prints where an application is installed. Install the package of
your file manager too (korvane-nautilus, korvane-dolphin, korvane-nemo,
korvane-caja or korvane-thunar).")
# The icons go into the hicolor theme, and launchers find the korvane://
# handler through the desktop database.
set(CPACK_DEBIAN_COMPANIONS_PACKAGE_DEPENDS "hicolor-icon-theme, desktop-file-utils")
set(CPACK_DEBIAN_COMPANIONS_PACKAGE_RECOMMENDS "subversion")
set(CPACK_DEBIAN_COMPANIONS_PACKAGE_SUGGESTS
    "korvane-nautilus | korvane-dolphin | korvane-nemo | korvane-caja | korvane-thunar")
configure_file(${krv_packaging}/debian/postinst.in ${krv_generated}/debian/postinst @ONLY)
configure_file(${krv_packaging}/debian/postrm.in ${krv_generated}/debian/postrm @ONLY)
set(CPACK_DEBIAN_COMPANIONS_PACKAGE_CONTROL_EXTRA ${krv_generated}/debian/postinst ${krv_generated}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# A file manager's package: its module, the file manager's libraries (found
# by shlibdeps) and exactly this version of the companions.
set(krv_file_manager_titles nautilus Nautilus dolphin Dolphin nemo Nemo caja Caja thunar Thunar)
get_property(krv_file_manager_components GLOBAL PROPERTY KRV_FILE_MANAGER_COMPONENTS)
foreach(component ${krv_file_manager_components})
  string(TOUPPER ${component} upper)
  list(FIND krv_file_manager_titles ${component} at)
  math(EXPR at "${at} + 1")
  list(GET krv_file_manager_titles ${at} title)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME korvane-${component})
  set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "korvane-companions (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_${upper}_PACKAGE_ENHANCES ${component})
  set(CPACK_COMPONENT_${upper}_DESCRIPTION "Subversion badges and menus for ${title}
The ${title} module of the Korvane desktop companions: it shows the
Subversion status of registered working copies in ${title} and adds the
Korvane menu.")
endforeach()
set(CPACK_COMPONENTS_ALL companions ${krv_file_manager_components})
include(CPack)
