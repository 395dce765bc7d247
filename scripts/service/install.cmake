# Installed beside the programs: the systemd unit, the procd script with its
# capability set, the environment file and the sysusers and tmpfiles snippets.
# The unit and the script are made at install time, so that they name the
# prefix the install really uses (cmake --install --prefix).
include(GNUInstallDirs)

set(HOSTMON_SERVICE_DIR ${CMAKE_CURRENT_LIST_DIR})
install(CODE "
  set(SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
  set(SYSCONFDIR \"${CMAKE_INSTALL_FULL_SYSCONFDIR}\")
  if(NOT IS_ABSOLUTE \"${CMAKE_INSTALL_SYSCONFDIR}\" AND NOT \"\${CMAKE_INSTALL_PREFIX}\" STREQUAL \"/usr\")
    set(SYSCONFDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SYSCONFDIR}\")
  endif()
  configure_file(${HOSTMON_SERVICE_DIR}/hostmon.service.in
                 \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/hostmon.service\" @ONLY)
  configure_file(${HOSTMON_SERVICE_DIR}/hostmon.procd.in
                 \"\$ENV{DESTDIR}\${SYSCONFDIR}/init.d/hostmon\" @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  file(INSTALL ${HOSTMON_SERVICE_DIR}/hostmon.env DESTINATION \"\${SYSCONFDIR}/hostmon\")
  file(INSTALL ${HOSTMON_SERVICE_DIR}/hostmon.capabilities.json
       DESTINATION \"\${SYSCONFDIR}/capabilities\" RENAME hostmon.json)
")
install(FILES ${HOSTMON_SERVICE_DIR}/hostmon.sysusers DESTINATION lib/sysusers.d
        RENAME hostmon.conf)
install(FILES ${HOSTMON_SERVICE_DIR}/hostmon.tmpfiles DESTINATION lib/tmpfiles.d
        RENAME hostmon.conf)
