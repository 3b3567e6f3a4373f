# The manual page, installed beside the binary, and the Debian package that `cpack -G DEB`
# builds from the installed files: velotap_<version>_amd64.deb.
install(FILES ${PROJECT_SOURCE_DIR}/doc/velotap.1 DESTINATION share/man/man1)

set(CPACK_PACKAGE_NAME velotap)
set(CPACK_PACKAGE_VENDOR "velotap maintainers")
set(CPACK_PACKAGE_CONTACT "velotap maintainers <maintainers@users.noreply.c-seed-0b59bbc5.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Standard MIDI File player that forwards only notes and controllers")
set(CPACK_PACKAGE_DESCRIPTION
    "velotap plays a Standard MIDI File in real time to one MIDI output (ALSA or JACK), an
existing port or its own virtual port, Vorn Filter Output. Of the file's messages it sends
only Note Off, Note On and Control Change; on every exit it silences the notes it left
sounding.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # velotap_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps finds the run-time libraries (librtmidi6, libstdc++6, libc6, ...) in the binary.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "fluidsynth, fluid-soundfont-gm, jackd2")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
