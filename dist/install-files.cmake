# Run at install time, when the prefix is settled (cmake --install --prefix,
# or cpack): makes the unit, the man page and the sysusers entry name the
# paths they are really installed under, and compresses the man pages and
# the changelog as Debian expects (gzip -9n: no name or time stamp inside,
# so the same sources give the same bytes).
set(QEV_FULL_BINDIR "${CMAKE_INSTALL_PREFIX}/${QEV_BINDIR}")
set(QEV_UNIT_PATH "${CMAKE_INSTALL_PREFIX}/${QEV_SYSTEMD_UNIT_DIR}")
set(QEV_JOURNALD_PATH "${CMAKE_INSTALL_PREFIX}/${QEV_JOURNALD_DIR}")
# Under systemd, a static qev runs in a root of its own, which holds itself
# and the empty places where systemd mounts what the sandbox gives it, and
# nothing else: each start (one per client) then sets up far less.
if(QEV_STATIC)
  set(tree "${CMAKE_INSTALL_PREFIX}/lib/qev/root")
  file(INSTALL "$ENV{DESTDIR}${QEV_FULL_BINDIR}/qev"
       DESTINATION "${tree}${QEV_FULL_BINDIR}" USE_SOURCE_PERMISSIONS)
  # Every place systemd mounts on or makes at a start, so that the package
  # owns them all and a purge leaves nothing behind.
  foreach(place dev etc home proc root run sys tmp var/tmp "${QEV_STATE_DIR}")
    file(MAKE_DIRECTORY "$ENV{DESTDIR}${tree}/${place}")
  endforeach()
  file(CREATE_LINK usr/bin "$ENV{DESTDIR}${tree}/bin" SYMBOLIC)
  set(QEV_ROOT_DIRECTORY "RootDirectory=${tree}")
else()
  set(QEV_ROOT_DIRECTORY "# (a dynamic qev needs the system's libraries: no root of its own)")
endif()
# Both services run qev the same way, in the same sandbox: one service
# section, put into each.
file(READ "${QEV_SOURCE_DIR}/dist/service-section.in" section)
string(CONFIGURE "${section}" QEV_SERVICE_SECTION @ONLY)
foreach(unit qev.service qev-concurrent@.service qev-check@.service
             qev-metrics.service)
  configure_file("${QEV_SOURCE_DIR}/dist/${unit}.in" "${QEV_OUT_DIR}/${unit}"
                 @ONLY)
endforeach()
configure_file("${QEV_SOURCE_DIR}/dist/qev.sysusers"
               "${QEV_OUT_DIR}/qev.conf" @ONLY)
# The recipes for the supervisors, as the manual gives them: with the paths
# they are installed under, escaped for roff, each in @QEV_RECIPE_<FILE>@.
file(GLOB recipes "${QEV_SOURCE_DIR}/dist/recipes/*")
foreach(recipe ${recipes})
  get_filename_component(name "${recipe}" NAME)
  string(MAKE_C_IDENTIFIER "QEV_RECIPE_${name}" variable)
  string(TOUPPER "${variable}" variable)
  file(READ "${recipe}" text)
  string(REPLACE "/usr/bin/qev" "${QEV_FULL_BINDIR}/qev" text "${text}")
  string(REPLACE "/var/lib/qev" "${QEV_STATE_DIR}" text "${text}")
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "\n$" "" ${variable} "${text}")
endforeach()
configure_file("${QEV_SOURCE_DIR}/man/qev.8.in" "${QEV_OUT_DIR}/qev.8" @ONLY)
configure_file("${QEV_SOURCE_DIR}/man/qev-client.1.in"
               "${QEV_OUT_DIR}/qev-client.1" @ONLY)
foreach(file "${QEV_OUT_DIR}/qev.8" "${QEV_OUT_DIR}/qev-client.1"
        "${QEV_SOURCE_DIR}/dist/changelog")
  get_filename_component(name "${file}" NAME)
  execute_process(COMMAND gzip -9n -c "${file}"
                  OUTPUT_FILE "${QEV_OUT_DIR}/${name}.gz"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endforeach()
