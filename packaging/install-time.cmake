# Run by `cmake --install` (and so by CPack): writes the D-Bus service file
# and the desktop entry with the paths the programs get under this install's
# prefix, which may differ from the one the build was configured with.
# Set before it runs: KRV_PACKAGING_DIR (these templates), KRV_OUTPUT_DIR,
# KRV_BINDIR and KRV_LIBEXECDIR (GNUInstallDirs values, relative or not).

function(krv_full_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

krv_full_path(bindir "${KRV_BINDIR}")
krv_full_path(libexecdir "${KRV_LIBEXECDIR}")

# The bus splits Exec like a shell: quote a path that needs it.
set(KRV_SERVICE_EXEC "${libexecdir}/korvane/finder-extension")
if(NOT KRV_SERVICE_EXEC MATCHES "^[A-Za-z0-9/._+-]+$")
  string(REPLACE "'" "'\\''" KRV_SERVICE_EXEC "${KRV_SERVICE_EXEC}")
  set(KRV_SERVICE_EXEC "'${KRV_SERVICE_EXEC}'")
endif()

# A desktop entry's Exec argument: quoted, with ", \, ` and $ escaped, when
# it holds a reserved character; then escaped once more as a string value,
# with % doubled.
set(exec "${bindir}/korvane-app")
if(NOT exec MATCHES "^[^ \t\n\"'\\><~|&;$*?#()`]+$")
  foreach(c "\\" "\"" "`" "$")
    string(REPLACE "${c}" "\\${c}" exec "${exec}")
  endforeach()
  string(REPLACE "\\" "\\\\" exec "\"${exec}\"")
endif()
string(REPLACE "%" "%%" KRV_DESKTOP_EXEC "${exec}")

configure_file("${KRV_PACKAGING_DIR}/com.korvaneapp.v3.FinderSync.service.in"
               "${KRV_OUTPUT_DIR}/com.korvaneapp.v3.FinderSync.service" @ONLY)
configure_file("${KRV_PACKAGING_DIR}/com.korvaneapp.v3.desktop.in" "${KRV_OUTPUT_DIR}/com.korvaneapp.v3.desktop" @ONLY)
