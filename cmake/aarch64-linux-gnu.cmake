# Cross-building for 64-bit ARM (Debian's arm64) on another Debian machine,
# with Debian's cross compiler and the arm64 libraries installed beside the
# machine's own through multiarch (scripts/package arm64 installs them).
#
# Qt's host tools need nothing here: Debian's arm64 Qt config names moc, uic
# and rcc by their architecture-independent path, /usr/lib/qt6/libexec, which
# the machine's own qt6-base-dev-tools fills (it is Multi-Arch: foreign).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# CMake then looks in /usr/lib/aarch64-linux-gnu, never in the machine's own
# library folder; pkg-config is pointed at the same place.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
# The architecture that dpkg gives the package; CPack would otherwise ask
# dpkg, which names the building machine's.
set(THRESHCAM_DEB_ARCH arm64)
