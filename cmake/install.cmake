# What `cmake --install` puts on the machine, and through cmake/package.cmake
# what goes into the Debian package. Only the programs below are installed:
# the tests, the core library and the benchmark stay in the build tree.
include(GNUInstallDirs)

set(tessik_dist_dir ${PROJECT_SOURCE_DIR}/dist)
set(tessik_dist_build_dir ${PROJECT_BINARY_DIR}/dist)

install(TARGETS tessik-update-tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(tessik_man_pages tessik-update-tool.1)
# The simulated module lets people try the tool without hardware (Linux only).
if(TARGET tessik-module-sim)
  install(TARGETS tessik-module-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  list(APPEND tessik_man_pages tessik-module-sim.1)
endif()

install(FILES ${tessik_dist_dir}/tessik-update-tool.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${tessik_dist_dir}/tessik-update-tool.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Man pages carry the project version. They and the changelog are installed
# compressed, as Debian's man-db and policy expect.
function(tessik_gzip source output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND gzip -9 -n -c ${source} > ${output}
    DEPENDS ${source}
    VERBATIM)
endfunction()

set(tessik_man_archives)
foreach(page ${tessik_man_pages})
  configure_file(${tessik_dist_dir}/${page} ${tessik_dist_build_dir}/${page} @ONLY)
  tessik_gzip(${tessik_dist_build_dir}/${page} ${tessik_dist_build_dir}/${page}.gz)
  list(APPEND tessik_man_archives ${tessik_dist_build_dir}/${page}.gz)
endforeach()
tessik_gzip(${tessik_dist_dir}/changelog ${tessik_dist_build_dir}/changelog.gz)
add_custom_target(tessik_compressed_docs ALL
  DEPENDS ${tessik_man_archives} ${tessik_dist_build_dir}/changelog.gz)
install(FILES ${tessik_man_archives} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${tessik_dist_dir}/copyright ${tessik_dist_build_dir}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The udev rule is an example for the administrator to copy: a package that
# changes device permissions and ModemManager's behaviour on its own would
# surprise people.
install(FILES ${tessik_dist_dir}/60-tessik-serial.rules
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
