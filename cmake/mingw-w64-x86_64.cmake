# Cross compiling for 64-bit Windows with Debian's MinGW-w64 compilers (the
# posix thread model, which Qt needs for std::mutex and std::thread).
#
# Used for the Qt build (scripts/build-qt-windows.sh) and for the program's
# own Windows build (`make windows`), which points CMAKE_PREFIX_PATH at that Qt.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KAVO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KAVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVO_MINGW_TRIPLET}-windres)

# Libraries and headers come from the MinGW sysroot and from the prefixes the
# caller names (the cross-built Qt); programs run during the build (moc, uic,
# rcc) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${KAVO_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
