# The Windows zip, kavo-control-<version>-win64.zip: the programs beside the Qt
# and MinGW runtime DLLs they load, the one Qt plugin they load (the Windows
# platform; every window draws with Fusion, which Qt Widgets holds), the
# README and the licence texts, all stripped of their symbols. Unpacked
# anywhere, kavo-control.exe starts with a double click; nothing is installed.
# The installer (scripts/build-windows-installer.sh) carries the same files.
set(kavo_programs kavo-control)
foreach(program kavoctl kavo-projectord)
  if(TARGET ${program})
    list(APPEND kavo_programs ${program})
  endif()
endforeach()
install(TARGETS ${kavo_programs} RUNTIME DESTINATION .)

set(kavo_plugins Qt6::QWindowsIntegrationPlugin)
install(IMPORTED_RUNTIME_ARTIFACTS Qt6::QWindowsIntegrationPlugin LIBRARY DESTINATION platforms)
# The service's web page speaks HTTPS through Windows' own TLS, which Qt
# loads as a plugin.
if(KAVO_WEB AND TARGET Qt6::QSchannelBackendPlugin)
  list(APPEND kavo_plugins Qt6::QSchannelBackendPlugin)
  install(IMPORTED_RUNTIME_ARTIFACTS Qt6::QSchannelBackendPlugin LIBRARY DESTINATION tls)
endif()

# The DLLs that the programs and plugins load, found by reading their import
# tables with the cross objdump in Qt's bin folder and the MinGW runtime
# folders; Windows' own DLLs are in none of them and stay out. The lookup
# lower-cases the names it reads, as Windows would match them, so Qt's DLLs
# (Qt6Core.dll) are offered to it under lower-case links as well.
get_filename_component(kavo_qt_bin "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}" ABSOLUTE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
                OUTPUT_VARIABLE kavo_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(kavo_gcc_dir "${kavo_libgcc}" DIRECTORY)
set(kavo_dll_names "${CMAKE_CURRENT_BINARY_DIR}/qt-dll-names")
set(kavo_dll_dirs "${kavo_dll_names}" "${kavo_gcc_dir}" "/usr/${KAVO_MINGW_TRIPLET}/lib"
                  "/usr/${KAVO_MINGW_TRIPLET}/bin")
set(kavo_executables "")
foreach(program ${kavo_programs})
  list(APPEND kavo_executables "$<TARGET_FILE:${program}>")
endforeach()
set(kavo_modules "")
foreach(plugin ${kavo_plugins})
  list(APPEND kavo_modules "$<TARGET_FILE:${plugin}>")
endforeach()
install(CODE "
  file(REMOVE_RECURSE \"${kavo_dll_names}\")
  file(MAKE_DIRECTORY \"${kavo_dll_names}\")
  file(GLOB kavo_qt_dlls \"${kavo_qt_bin}/*.dll\")
  foreach(dll \${kavo_qt_dlls})
    get_filename_component(name \${dll} NAME)
    string(TOLOWER \${name} lower)
    file(CREATE_LINK \${dll} \"${kavo_dll_names}/\${lower}\" SYMBOLIC)
  endforeach()
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND \"${CMAKE_OBJDUMP}\")
  file(GET_RUNTIME_DEPENDENCIES
    EXECUTABLES ${kavo_executables}
    MODULES ${kavo_modules}
    DIRECTORIES ${kavo_dll_dirs}
    PRE_EXCLUDE_REGEXES [[^api-ms-]] [[^ext-ms-]]
    RESOLVED_DEPENDENCIES_VAR kavo_found
    UNRESOLVED_DEPENDENCIES_VAR kavo_system)
  set(kavo_files \"\")
  foreach(dll \${kavo_found})
    file(REAL_PATH \${dll} real)
    list(APPEND kavo_files \${real})
  endforeach()
  if(NOT kavo_files MATCHES \"Qt6Core.dll\")
    message(FATAL_ERROR \"Qt's DLLs were not found for the programs: \${kavo_found}\")
  endif()
  file(INSTALL \${kavo_files} DESTINATION \"\${CMAKE_INSTALL_PREFIX}\")
")

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
# The prefix holds the licences of the libraries built beside Qt as well.
set(kavo_beside_qt mosquitto libsodium)
install(DIRECTORY "${QT6_INSTALL_PREFIX}/licenses/" DESTINATION licenses/qt
        PATTERN mosquitto EXCLUDE PATTERN libsodium EXCLUDE)
foreach(library ${kavo_beside_qt})
  if(EXISTS "${QT6_INSTALL_PREFIX}/licenses/${library}")
    install(DIRECTORY "${QT6_INSTALL_PREFIX}/licenses/${library}/" DESTINATION licenses/${library})
  endif()
endforeach()
foreach(part gcc-mingw-w64-base mingw-w64-common)
  if(EXISTS /usr/share/doc/${part}/copyright)
    install(FILES /usr/share/doc/${part}/copyright DESTINATION licenses/mingw-w64
            RENAME ${part}.txt)
  endif()
endforeach()

# Every program and DLL goes without its symbols (the MinGW runtime's
# libstdc++ alone is 24 MB with them, 2 MB without); install(TARGETS) would
# strip the programs only.
install(CODE "
  file(GLOB_RECURSE kavo_binaries \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/*.dll\"
                                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/*.exe\")
  foreach(binary \${kavo_binaries})
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \${binary} RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR \"cannot strip \${binary}\")
    endif()
  endforeach()
")

set(CPACK_GENERATOR ZIP)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_PACKAGE_NAME kavo-control)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME kavo-control-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
