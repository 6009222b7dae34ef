# Run at install time (cmake --install, CPack): the files that name the
# install prefix, made for the prefix being installed to, which for a Debian
# package is not the prefix the tree was configured with.
set(_prefix "${CMAKE_INSTALL_PREFIX}")
set(_root "$ENV{DESTDIR}")
set(BINDIR "${_prefix}/bin")
set(PKGLIBDIR "${_prefix}/lib/tarnvault")
set(DOCDIR "${_prefix}/share/doc/tarnvault")
# /usr keeps its configuration in /etc; any other prefix in its own etc.
if(_prefix STREQUAL "/usr")
  set(_sysconf "/etc")
else()
  set(_sysconf "${_prefix}/etc")
endif()

function(_tarn_put template destination mode)
  configure_file("${TARN_PACKAGING_DIR}/${template}" "${_root}${destination}" @ONLY)
  file(CHMOD "${_root}${destination}" PERMISSIONS ${mode})
  message(STATUS "Installing: ${_root}${destination}")
endfunction()

_tarn_put(tarnhost.service.in "${_prefix}/lib/systemd/system/tarnhost.service"
          OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
_tarn_put(tarnvault-profile.sh.in "${_sysconf}/profile.d/tarnvault.sh"
          OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
