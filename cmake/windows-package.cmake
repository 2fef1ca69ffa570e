# The Windows packages, beside the .deb (scripts/package.sh): an NSIS
# installer and a zip of the binaries, from stripped copies of the proxy and
# the plug-in and the commented Windows settings file. Target
# windows-packages; present only where makensis is.
find_program(DIVIVEZ_MAKENSIS makensis)
if(DIVIVEZ_MAKENSIS)
  set(stage ${CMAKE_BINARY_DIR}/windows-package)
  set(installer ${CMAKE_BINARY_DIR}/divivez-setup-${PROJECT_VERSION}.exe)
  set(archive ${CMAKE_BINARY_DIR}/divivez-${PROJECT_VERSION}-win32.zip)
  set(settings ${PROJECT_SOURCE_DIR}/packaging/windows/divivez-proxy.conf)
  set(script ${PROJECT_SOURCE_DIR}/packaging/windows/divivez.nsi)
  add_custom_command(
    OUTPUT ${installer} ${archive}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
    COMMAND ${CMAKE_STRIP} -o ${stage}/divivez-proxy.exe $<TARGET_FILE:divivez-proxy>
    COMMAND ${CMAKE_STRIP} -o ${stage}/divivez.dll $<TARGET_FILE:divivez>
    COMMAND ${CMAKE_COMMAND} -E copy ${settings} ${stage}/divivez-proxy.conf
    COMMAND ${DIVIVEZ_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DBINARIES=${stage}
            -DSETTINGS=${settings} -DOUTFILE=${installer} ${script}
    COMMAND ${CMAKE_COMMAND} -E chdir ${stage} ${CMAKE_COMMAND} -E tar cf ${archive} --format=zip
            divivez-proxy.exe divivez.dll divivez-proxy.conf
    DEPENDS divivez-proxy divivez ${settings} ${script}
    COMMENT "Making the Windows installer and zip")
  add_custom_target(windows-packages DEPENDS ${installer} ${archive})
endif()
