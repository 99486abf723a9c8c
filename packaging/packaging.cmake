# Installing weigh, and its packages: a .deb on Linux, a .zip on Windows.
# The version everywhere is project(VERSION) in the top-level CMakeLists.txt.
include(GNUInstallDirs)

if(WIN32)
  # The .zip holds the programs and their papers side by side.
  set(weigh_bin_dir .)
  set(weigh_doc_dir .)
else()
  set(weigh_bin_dir ${CMAKE_INSTALL_BINDIR})
  set(weigh_doc_dir ${CMAKE_INSTALL_DOCDIR})
endif()

if(TARGET weigh)
  install(TARGETS weigh RUNTIME DESTINATION ${weigh_bin_dir})
endif()
install(TARGETS weigh-sim RUNTIME DESTINATION ${weigh_bin_dir})
install(FILES README.md DESTINATION ${weigh_doc_dir})

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Debian's names: the licence is the package's copyright file, and a
  # native package's changelog is changelog.gz; both compressed without a
  # timestamp (gzip -n), as are the manual pages.
  install(FILES LICENSE DESTINATION ${weigh_doc_dir} RENAME copyright)
  install(FILES packaging/linux/70-weigh.rules DESTINATION lib/udev/rules.d)
  set(weigh_gz_dir ${CMAKE_CURRENT_BINARY_DIR}/packaging)
  set(weigh_gz_files)
  configure_file(packaging/linux/changelog.in ${weigh_gz_dir}/changelog @ONLY)
  foreach(page weigh.1 weigh-sim.1)
    set(WEIGH_VERSION ${PROJECT_VERSION})
    configure_file(packaging/${page} ${weigh_gz_dir}/${page} @ONLY)
  endforeach()
  foreach(file changelog weigh.1 weigh-sim.1)
    add_custom_command(OUTPUT ${weigh_gz_dir}/${file}.gz
                       COMMAND gzip -9nf -k ${weigh_gz_dir}/${file}
                       DEPENDS ${weigh_gz_dir}/${file} VERBATIM)
    list(APPEND weigh_gz_files ${weigh_gz_dir}/${file}.gz)
  endforeach()
  add_custom_target(weigh_papers ALL DEPENDS ${weigh_gz_files})
  install(FILES ${weigh_gz_dir}/changelog.gz DESTINATION ${weigh_doc_dir})
  install(FILES ${weigh_gz_dir}/weigh.1.gz ${weigh_gz_dir}/weigh-sim.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES LICENSE DESTINATION ${weigh_doc_dir})
endif()

set(CPACK_PACKAGE_NAME weigh)
set(CPACK_PACKAGE_VENDOR "The weigh developers")
set(CPACK_PACKAGE_CONTACT "weigh developers <dev@weigh.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live read-out of a four-sensor HID weighing board")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES TRUE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The synopsis is the summary above; this is the long description.
  set(CPACK_PACKAGE_DESCRIPTION "weigh finds a weighing board of the Wii-Remote family (vendor 057E,
product 0306) over Linux hidraw and prints, about a thousand times a
second, its two button bytes, the total load in kilograms and the loads on
its four corners, relative to a zero point taken while its A button is
held.

weigh-sim runs the same program against a simulated board that plays a
script, for trying it without a board.")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux/postinst ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()
include(CPack)
