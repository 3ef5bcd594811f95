# Run at install time, when the prefix is settled (cmake --install --prefix,
# or cpack): makes the unit, the man page and the sysusers entry name the
# paths they are really installed under, and compresses the man pages and
# the changelog as Debian expects (gzip -9n: no name or time stamp inside,
# so the same sources give the same bytes).
set(QEV_FULL_BINDIR "${CMAKE_INSTALL_PREFIX}/${QEV_BINDIR}")
set(QEV_UNIT_PATH "${CMAKE_INSTALL_PREFIX}/${QEV_SYSTEMD_UNIT_DIR}")
configure_file("${QEV_SOURCE_DIR}/dist/qev.service.in"
               "${QEV_OUT_DIR}/qev.service" @ONLY)
configure_file("${QEV_SOURCE_DIR}/dist/qev.sysusers"
               "${QEV_OUT_DIR}/qev.conf" @ONLY)
configure_file("${QEV_SOURCE_DIR}/man/qev.8.in" "${QEV_OUT_DIR}/qev.8" @ONLY)
foreach(file "${QEV_OUT_DIR}/qev.8" "${QEV_SOURCE_DIR}/man/qev-client.1"
        "${QEV_SOURCE_DIR}/dist/changelog")
  get_filename_component(name "${file}" NAME)
  execute_process(COMMAND gzip -9n -c "${file}"
                  OUTPUT_FILE "${QEV_OUT_DIR}/${name}.gz"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endforeach()
