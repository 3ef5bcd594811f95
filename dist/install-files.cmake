# Run at install time, when the prefix is settled (cmake --install --prefix,
# or cpack): makes the unit, the man page and the sysusers entry name the
# paths they are really installed under.
set(QEV_FULL_BINDIR "${CMAKE_INSTALL_PREFIX}/${QEV_BINDIR}")
set(QEV_UNIT_PATH "${CMAKE_INSTALL_PREFIX}/${QEV_SYSTEMD_UNIT_DIR}/qev.service")
configure_file("${QEV_SOURCE_DIR}/dist/qev.service.in"
               "${QEV_OUT_DIR}/qev.service" @ONLY)
configure_file("${QEV_SOURCE_DIR}/dist/qev.sysusers"
               "${QEV_OUT_DIR}/qev.conf" @ONLY)
configure_file("${QEV_SOURCE_DIR}/man/qev.8.in" "${QEV_OUT_DIR}/qev.8" @ONLY)
