# `cmake --install`: the daemons into sbin, the manual pages, the sample
# configurations under the documentation folder and the systemd template
# units.  DESTDIR and CMAKE_INSTALL_PREFIX (also `--prefix` at install time)
# are honoured; the directories are GNUInstallDirs'.
include(GNUInstallDirs)

option(FW_INSTALL_SYSTEMD "Install the systemd template units" ON)
set(FW_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Where the systemd units go (relative: under the installation prefix)")

set(fw_programs serstream serdgram streamhop dgramhop streamhop-cli)

install(TARGETS ${fw_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

set(fw_dist ${PROJECT_SOURCE_DIR}/dist)
foreach(p ${fw_programs})
  install(FILES ${fw_dist}/man/${p}.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES ${fw_dist}/conf/${p}.cfg DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endforeach()
install(FILES ${fw_dist}/man/farwire.cfg.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${fw_dist}/man/farwire.7 DESTINATION ${CMAKE_INSTALL_MANDIR}/man7)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/deploy.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(FW_INSTALL_SYSTEMD)
  # The units name the daemons by their installed path, which is known only
  # at install time (`cmake --install --prefix` may change it), so they are
  # made from their templates then.
  set(fw_units ${CMAKE_CURRENT_BINARY_DIR}/systemd)
  install(CODE "
    set(fw_sbindir \"${CMAKE_INSTALL_SBINDIR}\")
    if(NOT IS_ABSOLUTE \"\${fw_sbindir}\")
      set(fw_sbindir \"\${CMAKE_INSTALL_PREFIX}/\${fw_sbindir}\")
    endif()
    foreach(p ${fw_programs})
      set(SBINDIR \"\${fw_sbindir}\")
      configure_file(\"${fw_dist}/systemd/\${p}@.service.in\" \"${fw_units}/\${p}@.service\" @ONLY)
    endforeach()
  ")
  foreach(p ${fw_programs})
    install(FILES ${fw_units}/${p}@.service DESTINATION ${FW_SYSTEMD_UNITDIR})
  endforeach()
endif()
