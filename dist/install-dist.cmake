# Install-time part of the installation layout, run by "cmake --install" with
# VELTO_DIST_SOURCE (this directory) and VELTO_DIST_BUILD (its build
# directory) set.

# Example configuration files. A file that is already installed is a site's
# configuration (possibly with learnt peers): it is kept, and a differing new
# example goes beside it as NAME.dist.
set(etc "${CMAKE_INSTALL_PREFIX}/share/velto/etc")
foreach(name LocalStoreDir AETitleMap AccessPolicy ForwardRules)
  set(src "${VELTO_DIST_SOURCE}/etc/${name}")
  set(dst "$ENV{DESTDIR}${etc}/${name}")
  if(EXISTS "${dst}")
    file(READ "${src}" new_text)
    file(READ "${dst}" old_text)
    if(new_text STREQUAL old_text)
      message(STATUS "Up-to-date: ${dst}")
    else()
      message(STATUS "Keeping the existing ${dst}; the new example is ${name}.dist")
      file(INSTALL DESTINATION "${etc}" TYPE FILE RENAME "${name}.dist" FILES "${src}")
    endif()
  else()
    file(INSTALL DESTINATION "${etc}" TYPE FILE FILES "${src}")
  endif()
endforeach()

# systemd units with the prefix filled in.
foreach(unit storeserver.service studywatch.service storeweb.service)
  file(READ "${VELTO_DIST_SOURCE}/${unit}" text)
  string(REPLACE "@PREFIX@" "${CMAKE_INSTALL_PREFIX}" text "${text}")
  file(WRITE "${VELTO_DIST_BUILD}/${unit}" "${text}")
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
       FILES "${VELTO_DIST_BUILD}/${unit}")
endforeach()
