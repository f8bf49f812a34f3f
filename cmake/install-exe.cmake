# Installs one release exe into the package: the copy the sign target made,
# when it was signed from exactly the bytes built now, else the exe as built.
# Set by the caller: `built` and `signed`, the two paths, and `into`, the
# package's folder.
file(SHA256 "${built}" built_sha256)
set(from "${built}")
if(EXISTS "${signed}.unsigned-sha256")
  file(READ "${signed}.unsigned-sha256" signed_from)
  string(STRIP "${signed_from}" signed_from)
  if(signed_from STREQUAL built_sha256)
    set(from "${signed}")
  endif()
endif()
if(from STREQUAL built)
  message(NOTICE "Packing ${built} unsigned: the sign target has not signed this build")
else()
  message(NOTICE "Packing the signed copy ${signed}")
endif()
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${into}" TYPE EXECUTABLE FILES "${from}")
