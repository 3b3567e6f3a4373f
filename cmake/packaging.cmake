# The manual page and the package's documents, installed beside the binary, and the Debian
# package that `cpack -G DEB` builds from the installed files: velotap_<version>_amd64.deb.
set(CPACK_PACKAGE_CONTACT "velotap maintainers <maintainers@users.noreply.c-seed-0b59bbc5.example>")
set(doc_dir ${PROJECT_BINARY_DIR}/doc)

# The changelog, in Debian's format; a new version gets its entry on top.
file(WRITE ${doc_dir}/changelog "\
velotap (1.0.0) unstable; urgency=medium

  * First release: plays a Standard MIDI File to an ALSA or JACK MIDI output,
    forwarding only Note Off, Note On and Control Change messages.

 -- ${CPACK_PACKAGE_CONTACT}  Wed, 09 Dec 2026 00:00:00 +0000
")

# The copyright file, in Debian's machine-readable format, with the terms of LICENSE: its text
# after the copyright line, each line indented by one space, a blank line written " .".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE terms)
string(REGEX REPLACE "^.*\nCopyright \\(c\\) [^\n]*\n\n" "" terms "${terms}")
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
file(WRITE ${doc_dir}/copyright "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: velotap

Files: *
Copyright: 2026 the velotap authors
License: Expat
 ${terms}
")

# The manual page and the changelog are installed compressed, as Debian wants them; -n leaves
# out the name and time, so that the same text always gives the same file.
add_custom_command(
    OUTPUT ${doc_dir}/velotap.1.gz ${doc_dir}/changelog.gz
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/doc/velotap.1 > ${doc_dir}/velotap.1.gz
    COMMAND gzip -9n -c ${doc_dir}/changelog > ${doc_dir}/changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/velotap.1 ${doc_dir}/changelog
    VERBATIM)
add_custom_target(compressed_docs ALL DEPENDS ${doc_dir}/velotap.1.gz ${doc_dir}/changelog.gz)
install(FILES ${doc_dir}/velotap.1.gz DESTINATION share/man/man1)
install(FILES ${doc_dir}/copyright ${doc_dir}/changelog.gz DESTINATION share/doc/velotap)

# A stripped install (the package's, or `cmake --install --strip`) also drops the compiler's
# version note (.comment), as Debian's own packages do.
install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/velotap\")
    endif()")
# Hardening that Debian recommends: every symbol resolved at start, so that the relocation table
# can be read-only the whole run.
target_link_options(velotap PRIVATE LINKER:-z,now)

set(CPACK_PACKAGE_NAME velotap)
set(CPACK_PACKAGE_VENDOR "velotap maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Standard MIDI File player that forwards only notes and controllers")
set(CPACK_PACKAGE_DESCRIPTION
    "velotap plays a Standard MIDI File in real time to one MIDI output (ALSA or
JACK), an existing port or its own virtual port, Vorn Filter Output. Of the
file's messages it sends only Note Off, Note On and Control Change; on every
exit it silences the notes it left sounding.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # velotap_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps finds the run-time libraries (librtmidi6, libstdc++6, libc6, ...) in the binary.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "fluidsynth, fluid-soundfont-gm, jackd2")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
