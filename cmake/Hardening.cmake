# Debian's hardening flags, as `DEB_BUILD_MAINT_OPTIONS=hardening=+all
# dpkg-buildflags` gives them on Debian 12, for the optimised builds that make
# the package. Stated here rather than read from dpkg-buildflags, so that a
# build needs no dpkg-dev. Debug builds go without: fortify needs optimisation.
# Sanitizer and fuzz builds go without too: their runtimes replace the same
# library calls and keep their own stack checks. The program itself is
# linked as PIE where it is installed (Packaging.cmake).
if(NOT THRESHCAM_SANITIZE)
    set(optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
    add_compile_definitions("$<${optimised}:_FORTIFY_SOURCE=2>")
    add_compile_options("$<${optimised}:-fstack-protector-strong>"
                        "$<${optimised}:-Wformat>"
                        "$<${optimised}:-Werror=format-security>")
    add_link_options("$<${optimised}:LINKER:-z,relro>" "$<${optimised}:LINKER:-z,now>")
    unset(optimised)
endif()
