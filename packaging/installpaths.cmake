# Run by the install: writes the units and desktop entries with the full paths of the programs
# under the prefix of this install, and installs them. The install's code sets TESSARUNO_TEMPLATES
# (SOURCE|KIND items), TESSARUNO_STAGE and the relative directories.
foreach(dir BINDIR SBINDIR DATADIR)
  if(IS_ABSOLUTE "${TESSARUNO_${dir}}")
    set(full_${dir} "${TESSARUNO_${dir}}")
  else()
    set(full_${dir} "${CMAKE_INSTALL_PREFIX}/${TESSARUNO_${dir}}")
  endif()
endforeach()
# The names the templates use.
set(TESSARUNO_BINDIR "${full_BINDIR}")
set(TESSARUNO_SBINDIR "${full_SBINDIR}")

if(TESSARUNO_SYSTEMD_UNITDIR)
  set(unitdir "${TESSARUNO_SYSTEMD_UNITDIR}")
elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  # Debian 12 keeps the units of its packages here (not yet under /usr).
  set(unitdir /lib/systemd/system)
else()
  set(unitdir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()

# The services' settings: /etc/tessaruno for the prefix /usr, else under the prefix.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(TESSARUNO_CONFDIR /etc/tessaruno)
else()
  set(TESSARUNO_CONFDIR "${CMAKE_INSTALL_PREFIX}/etc/tessaruno")
endif()
# Commented examples, as the package's conffiles: an admin's edited file is never replaced by an
# install (dpkg asks; cmake --install keeps a file that is there).
foreach(example IN LISTS TESSARUNO_CONFFILES)
  get_filename_component(name "${example}" NAME)
  if(EXISTS "$ENV{DESTDIR}${TESSARUNO_CONFDIR}/${name}")
    message(STATUS "Kept: $ENV{DESTDIR}${TESSARUNO_CONFDIR}/${name}")
  else()
    file(INSTALL DESTINATION "${TESSARUNO_CONFDIR}" TYPE FILE FILES "${example}")
  endif()
endforeach()

# Installs to different places may run at once (cpack and a test's own install).
string(MD5 stage "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(stage "${TESSARUNO_STAGE}/${stage}")
foreach(item IN LISTS TESSARUNO_TEMPLATES)
  string(REPLACE "|" ";" item "${item}")
  list(GET item 0 source)
  list(GET item 1 kind)
  get_filename_component(name "${source}" NAME)
  string(REGEX REPLACE "\\.in$" "" name "${name}")
  configure_file("${source}" "${stage}/${name}" @ONLY)
  if(kind STREQUAL "unit")
    set(destination "${unitdir}")
  else()
    set(destination "${full_DATADIR}/applications")
  endif()
  file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${stage}/${name}")
endforeach()
