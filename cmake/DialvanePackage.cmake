# Install rules and the Debian package (cpack -G DEB; scripts/package drives it).
# The program reads bin/ and config.json from its working directory and writes
# log/ beside its executable, so everything it owns lives in one folder.
# packaging/ names the same folder in the unit, the tmpfiles rule and the
# maintainer scripts.
set(DIALVANE_INSTALL_DIR /opt/dialvane)
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "${DIALVANE_INSTALL_DIR}" CACHE PATH "Install folder" FORCE)
endif()

install(TARGETS dialvane dialvane-read RUNTIME DESTINATION .)
install(FILES bin/1.bin bin/2.bin DESTINATION bin)
install(FILES config.json DESTINATION .)
# What the models were trained on, and the attribution its licence asks for.
install(FILES NOTICE DESTINATION .)

# Debian 12 has no ONNX Runtime, so the library setup-deps fetched travels
# with the program; a system one (Debian 13's libonnxruntime1.21) is left to
# dpkg-shlibdeps as a dependency instead.
set(DIALVANE_BUNDLED_ORT OFF)
if(OnnxRuntime_LIBRARY)
  string(FIND "${OnnxRuntime_LIBRARY}" "${DIALVANE_THIRD_PARTY}/" _dialvane_ort_at)
  if(_dialvane_ort_at EQUAL 0)
    set(DIALVANE_BUNDLED_ORT ON)
  endif()
endif()
if(DIALVANE_BUNDLED_ORT)
  # The file, under the soname the executables ask for, even if the finder
  # handed us a symlink.
  get_filename_component(_dialvane_ort_file "${OnnxRuntime_LIBRARY}" REALPATH)
  install(FILES "${_dialvane_ort_file}" DESTINATION lib RENAME libonnxruntime.so.1)
  # The build tree keeps its own RPATH (third_party/), so tests run unchanged.
  set_target_properties(dialvane dialvane-read PROPERTIES INSTALL_RPATH "\$ORIGIN/lib")
endif()

# /proc/self/exe resolves the link, so the reader still finds bin/ beside itself.
file(MAKE_DIRECTORY "${PROJECT_BINARY_DIR}/packaging")
file(CREATE_LINK "${DIALVANE_INSTALL_DIR}/dialvane-read" "${PROJECT_BINARY_DIR}/packaging/dialvane-read"
  SYMBOLIC)
install(FILES "${PROJECT_BINARY_DIR}/packaging/dialvane-read" DESTINATION /usr/bin)
# bookworm's paths for packaged units and tmpfiles rules.
install(FILES packaging/dialvane.service DESTINATION /lib/systemd/system)
install(FILES packaging/tmpfiles.conf DESTINATION /usr/lib/tmpfiles.d RENAME dialvane.conf)

set(DIALVANE_PACKAGE_MAINTAINER "Dialvane maintainers <maintainers@localhost>" CACHE STRING
  "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dialvane)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reads analogue dial gauges from photographs over HTTP")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Dialvane is an HTTP/JSON service: POST a photo of a needle gauge, by path,"
  "URL or base64, with the values at the two ends of its scale, and it answers"
  "the reading. Two ONNX Runtime models find the dial and the needle."
  "The package runs it as the systemd service dialvane.service under its own"
  "system user, and ships the command-line reader dialvane-read.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${DIALVANE_INSTALL_DIR}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DIALVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Qt, OpenCV, gSOAP, Crypto++ and the C++ runtime, as the binaries link them.
# Qt's offscreen platform plugin is loaded at run time but ships in libqt6gui6,
# which the Widgets library already pulls in.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(DIALVANE_BUNDLED_ORT)
  # Relative: dpkg-shlibdeps runs in the package's staging root.
  string(SUBSTRING "${DIALVANE_INSTALL_DIR}/lib" 1 -1 CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS)
endif()
# adduser makes the service's user in postinst; init-system-helpers (for
# deb-systemd-helper and deb-systemd-invoke) is essential. systemd itself is
# not required: the program also runs by hand in a container.
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/packaging/conffiles"
  "${PROJECT_SOURCE_DIR}/packaging/postinst"
  "${PROJECT_SOURCE_DIR}/packaging/prerm"
  "${PROJECT_SOURCE_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# xz: 23 MB where zstd makes 27 MB, but about 75 s against 10 s on two cores;
# the package test asks for zstd.
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_THREADS 0)
set(CPACK_SOURCE_GENERATOR "")

include(CPack)
