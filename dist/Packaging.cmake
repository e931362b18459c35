# `make package` (cpack) builds a Debian package from the install rules in
# dist/. Its dependencies are computed by dpkg-shlibdeps from the binary.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Lumora developers")
set(CPACK_PACKAGE_CONTACT "The Lumora developers <maintainers@lumora-project.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Stream a webcam live to media players over HTTP")
set(CPACK_PACKAGE_DESCRIPTION
    "Lumora turns a webcam, or its built-in test pattern, into a live Windows Media\nstream that any media player can open over HTTP, for up to 10 viewers at a\ntime, and keeps a web page on your own website pointing at the stream.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The test pattern draws its captions with a font; the viewer matches Arial and
# Times New Roman by metrics.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ffmpeg")
# cpack would build every target (tests and benchmarks too) before it
# installs; `make package` builds the program first instead, and the package
# test reuses the binary already built.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
include(CPack)
