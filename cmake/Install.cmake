# `make install` (cmake --install BUILD --prefix PREFIX): duv in bin/, the
# host library in the library directory, the modules in their own directory
# below it (lib/duv), and the manual page made by help2man from `duv --help`.
# The installed duv finds libduvhost through its rpath and the modules at the
# same relative place (DUV_MODULE_DIR_FROM_BIN), wherever PREFIX is.
include(GNUInstallDirs)
set(DUV_INSTALL_MODULEDIR ${CMAKE_INSTALL_LIBDIR}/duv)
file(RELATIVE_PATH duv_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
file(RELATIVE_PATH duv_bin_to_modules /${CMAKE_INSTALL_BINDIR} /${DUV_INSTALL_MODULEDIR})
file(RELATIVE_PATH duv_modules_to_lib /${DUV_INSTALL_MODULEDIR} /${CMAKE_INSTALL_LIBDIR})

target_compile_definitions(duv PRIVATE DUV_MODULE_DIR_FROM_BIN="${duv_bin_to_modules}")
set_target_properties(duv PROPERTIES INSTALL_RPATH "$ORIGIN/${duv_bin_to_lib}")
set_target_properties(Derovo2 Viviv PROPERTIES INSTALL_RPATH "$ORIGIN/${duv_modules_to_lib}")

install(TARGETS duv RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS duvhost LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS Derovo2 Viviv LIBRARY DESTINATION ${DUV_INSTALL_MODULEDIR} RUNTIME DESTINATION ${DUV_INSTALL_MODULEDIR})

# The manual page needs a duv that runs on the build machine; sanitizer
# builds are for the tests only.
find_program(DUV_HELP2MAN help2man)
if(DUV_HELP2MAN AND NOT CMAKE_CROSSCOMPILING AND NOT DUV_SANITIZE AND NOT DUV_TSAN)
  set(DUV_MAN_PAGE ${CMAKE_BINARY_DIR}/man/duv.1)
  add_custom_command(OUTPUT ${DUV_MAN_PAGE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${DUV_HELP2MAN} --no-info --no-discard-stderr
            --name "offline host for MR spectroscopy reconstruction and NIfTI export"
            --output ${DUV_MAN_PAGE} $<TARGET_FILE:duv>
    DEPENDS duv
    COMMENT "Manual page duv.1 (help2man)")
  add_custom_target(duv_man ALL DEPENDS ${DUV_MAN_PAGE})
  install(FILES ${DUV_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
elseif(NOT DUV_HELP2MAN)
  message(STATUS "help2man not found: no manual page")
endif()
