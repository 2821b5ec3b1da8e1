# Where installed files go. On Linux the usual tree under the prefix (bin/, share/doc/burnwell/,
# share/man/man1/, lib/udev/rules.d/). The Windows archive and installer keep everything in one
# folder: the updater reads Config.ini and the firmware file from the folder it is started in, so
# the example files belong next to burnwell.exe.
include(GNUInstallDirs)
if(WIN32)
  set(BURNWELL_INSTALL_BINDIR .)
  set(BURNWELL_INSTALL_DOCDIR .)
  set(BURNWELL_INSTALL_EXAMPLESDIR .)
else()
  set(BURNWELL_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  set(BURNWELL_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/burnwell)
  set(BURNWELL_INSTALL_EXAMPLESDIR ${CMAKE_INSTALL_DATADIR}/doc/burnwell/examples)
endif()
