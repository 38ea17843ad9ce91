# `cmake --install`: the daemons into sbin, the manual pages, the sample
# configurations under the documentation folder and the systemd units: a
# template per board daemon, one unit for linkhub (the server side, there
# only where its target is built, so included after the programs).
# DESTDIR and CMAKE_INSTALL_PREFIX (also `--prefix` at install time) are
# honoured; the directories are GNUInstallDirs'.
include(GNUInstallDirs)

option(FW_INSTALL_SYSTEMD "Install the systemd units" ON)
set(FW_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Where the systemd units go (relative: under the installation prefix)")

set(fw_programs serstream serdgram streamhop dgramhop streamhop-cli)

# Units: NAME@.service for a board daemon, NAME.service for the hub.
set(fw_units_in)
foreach(p ${fw_programs})
  list(APPEND fw_units_in ${p}@.service)
endforeach()
if(TARGET linkhub)
  list(APPEND fw_programs linkhub)
  list(APPEND fw_units_in linkhub.service)
endif()

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
    foreach(u ${fw_units_in})
      set(SBINDIR \"\${fw_sbindir}\")
      configure_file(\"${fw_dist}/systemd/\${u}.in\" \"${fw_units}/\${u}\" @ONLY)
    endforeach()
  ")
  foreach(u ${fw_units_in})
    install(FILES ${fw_units}/${u} DESTINATION ${FW_SYSTEMD_UNITDIR})
  endforeach()
endif()
