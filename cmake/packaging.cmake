# Install tree, pkg-config files, CMake package and Debian packages.
#
# Components:
#   runtime  the module in the library folder, and the real back-end libraries
#            with the shared libraries they need (HX_PRIVATE_LIB_TARGETS) in
#            its private folder <libdir>/hx-aec-mod, which the module's
#            RUNPATH=$ORIGIN/hx-aec-mod names. Debian package hx-aec-mod.
#   dev      hx_aec_mod.h, hx-aec-mod.pc and the CMake package HxAecMod.
#            Debian package hx-aec-mod-dev.
#   sim      the simulated world and its five stand-ins, in
#            <libdir>/hx-aec-mod/sim (the same relative folder as in the build
#            tree; their RUNPATH=$ORIGIN finds libhxsim.so beside them), with
#            hxsim.h and hx-aec-mod-sim.pc. Only for hosts' own tests: not part
#            of a plain `cmake --install`; `--component sim` installs it.
#            Debian package hx-aec-mod-sim.
# Each package also carries its copyright file and changelog in
# share/doc/<package>. package-manifest.txt in the build tree gives the
# package test the versions, the folders and the file names to check.

# Debian's multiarch library folder (lib/x86_64-linux-gnu) whenever the
# compiler names its triplet, whatever the prefix. A build tree configured
# before this rule existed kept GNUInstallDirs' plain "lib": replaced once;
# a folder chosen on the command line afterwards stays.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT HX_MULTIARCH_LIBDIR_APPLIED)
  if(NOT DEFINED CMAKE_INSTALL_LIBDIR OR CMAKE_INSTALL_LIBDIR STREQUAL "lib")
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH
      "Object code libraries (LIBDIR)" FORCE)
  endif()
  set(HX_MULTIARCH_LIBDIR_APPLIED ON CACHE INTERNAL "")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(HX_SIM_TARGETS hxsim sim_BrisaDll sim_MirelDll sim_TovanDll sim_MMDevApi sim_ntdll)
set(HX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/HxAecMod)
set(HX_INSTALL_PRIVATEDIR ${CMAKE_INSTALL_LIBDIR}/${HX_PRIVATE_SUBDIR})
set(HX_INSTALL_SIMDIR ${HX_INSTALL_PRIVATEDIR}/sim)
set(HX_INSTALL_PCDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- runtime ----
set_target_properties(Hx_Aec_Mod PROPERTIES EXPORT_NAME HxAecMod)
target_include_directories(Hx_Aec_Mod INTERFACE
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS Hx_Aec_Mod EXPORT HxAecModTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
if(HX_PRIVATE_LIB_TARGETS)
  install(TARGETS ${HX_PRIVATE_LIB_TARGETS}
    LIBRARY DESTINATION ${HX_INSTALL_PRIVATEDIR} COMPONENT runtime)
endif()

# ---- dev ----
install(FILES ${CMAKE_SOURCE_DIR}/include/hx_aec_mod.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
# The .pc files locate the prefix from their own folder, so an install moved
# elsewhere (or unpacked into a scratch root) still points at itself.
file(RELATIVE_PATH HX_PC_TO_PREFIX /prefix/${HX_INSTALL_PCDIR} /prefix)
string(REGEX REPLACE "/$" "" HX_PC_TO_PREFIX "${HX_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/hx-aec-mod.pc.in ${CMAKE_BINARY_DIR}/hx-aec-mod.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/hx-aec-mod.pc DESTINATION ${HX_INSTALL_PCDIR} COMPONENT dev)
install(EXPORT HxAecModTargets NAMESPACE HxAecMod:: DESTINATION ${HX_INSTALL_CMAKEDIR}
  COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/HxAecModConfig.cmake.in
  ${CMAKE_BINARY_DIR}/HxAecModConfig.cmake INSTALL_DESTINATION ${HX_INSTALL_CMAKEDIR})
# The exports keep their signatures within a major version.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/HxAecModConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/HxAecModConfig.cmake
  ${CMAKE_BINARY_DIR}/HxAecModConfigVersion.cmake
  DESTINATION ${HX_INSTALL_CMAKEDIR} COMPONENT dev)

# ---- sim ----
install(TARGETS ${HX_SIM_TARGETS}
  LIBRARY DESTINATION ${HX_INSTALL_SIMDIR} COMPONENT sim EXCLUDE_FROM_ALL)
configure_file(${CMAKE_SOURCE_DIR}/cmake/hx-aec-mod-sim.pc.in
  ${CMAKE_BINARY_DIR}/hx-aec-mod-sim.pc @ONLY)
install(FILES ${CMAKE_SOURCE_DIR}/sim/hxsim.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hx-aec-mod COMPONENT sim EXCLUDE_FROM_ALL)
# hxsim.h includes the echo canceller's header for its statistics record.
install(FILES ${CMAKE_SOURCE_DIR}/echo/hx_echo.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hx-aec-mod/echo COMPONENT sim EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_BINARY_DIR}/hx-aec-mod-sim.pc
  DESTINATION ${HX_INSTALL_PCDIR} COMPONENT sim EXCLUDE_FROM_ALL)

# ---- Debian package names, version and prefix ----
set(HX_DEB_PREFIX /usr)
set(HX_DEB_RUNTIME hx-aec-mod)
set(HX_DEB_DEV hx-aec-mod-dev)
set(HX_DEB_SIM hx-aec-mod-sim)
# The packaging revision: a new one for every change of the packaging alone
# (with its entry in cmake/debian/changelog.in).
set(HX_DEB_RELEASE 1)
set(HX_DEB_VERSION ${PROJECT_VERSION}-${HX_DEB_RELEASE})
set(HX_DEB_MAINTAINER "Hx_Aec_Mod maintainers <hx-aec-mod-maintainers@lists.hx-aec-mod.org>")

# ---- per package: copyright, changelog and lintian overrides ----
# The changelog is compressed as Debian wants it: gzip -9, no name or time
# stamp in the header, so the same sources give the same bytes.
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/debian/changelog
  OUTPUT_FILE ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz RESULT_VARIABLE hx_gzip_status)
if(NOT hx_gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip could not compress the Debian changelog")
endif()
# Overrides: those every package needs, then the package's own
# (cmake/debian/<package>.lintian-overrides.in), each with its reason.
foreach(component runtime dev sim)
  string(TOUPPER ${component} upper)
  set(pkg ${HX_DEB_${upper}})
  set(optional "")
  if(component STREQUAL "sim")
    set(optional EXCLUDE_FROM_ALL)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg} COMPONENT ${component} ${optional})
  set(overrides ${CMAKE_BINARY_DIR}/debian/overrides/${pkg})
  configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/lintian-overrides.in ${overrides} @ONLY)
  set(own ${CMAKE_SOURCE_DIR}/cmake/debian/${pkg}.lintian-overrides.in)
  if(EXISTS ${own})
    configure_file(${own} ${overrides}.own @ONLY)
    file(READ ${overrides}.own text)
    file(APPEND ${overrides} "${text}")
  endif()
  install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    COMPONENT ${component} ${optional})
endforeach()

# ---- manifest for the package test ----
set(hx_private_names "")
foreach(t IN LISTS HX_PRIVATE_LIB_TARGETS)
  string(APPEND hx_private_names " $<TARGET_FILE_NAME:${t}>")
endforeach()
set(hx_manifest "version ${PROJECT_VERSION}\ndebversion ${HX_DEB_VERSION}\nprefix ${HX_DEB_PREFIX}\n")
string(APPEND hx_manifest "libdir ${CMAKE_INSTALL_LIBDIR}\nprivatedir ${HX_INSTALL_PRIVATEDIR}\n")
string(APPEND hx_manifest "simdir ${HX_INSTALL_SIMDIR}\ndocdir ${CMAKE_INSTALL_DATAROOTDIR}/doc\n")
string(APPEND hx_manifest "runtime ${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:Hx_Aec_Mod>\n")
string(APPEND hx_manifest "private${hx_private_names}\n")
string(APPEND hx_manifest "packages ${HX_DEB_RUNTIME} ${HX_DEB_DEV} ${HX_DEB_SIM}\n")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/package-manifest.txt CONTENT "${hx_manifest}")

# ---- the runtime package's library dependencies ----
# cpack's own scan (SHLIBDEPS) is off for hx-aec-mod: it would add
# maintainer scripts that call ldconfig, which the package's ldconfig trigger
# replaces. cpack reads this file before it builds the packages; it runs
# dpkg-shlibdeps over the module and its private libraries as built.
set(hx_runtime_files "$<TARGET_FILE:Hx_Aec_Mod>")
foreach(t IN LISTS HX_PRIVATE_LIB_TARGETS)
  string(APPEND hx_runtime_files " $<TARGET_FILE:${t}>")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake CONTENT "\
if(CPACK_GENERATOR STREQUAL \"DEB\")
  set(dir \"\${CPACK_PACKAGE_DIRECTORY}/_hx_shlibdeps\")
  file(REMOVE_RECURSE \"\${dir}\")
  file(MAKE_DIRECTORY \"\${dir}/debian\")
  file(WRITE \"\${dir}/debian/control\" \"\")
  execute_process(COMMAND dpkg-shlibdeps -O -l${HX_PRIVATE_LIB_DIR} ${hx_runtime_files}
    WORKING_DIRECTORY \"\${dir}\" OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  file(REMOVE_RECURSE \"\${dir}\")
  if(NOT status EQUAL 0 OR NOT out MATCHES \"shlibs:Depends=([^\\n]*)\")
    message(FATAL_ERROR \"dpkg-shlibdeps found no dependencies for ${HX_DEB_RUNTIME}: \${err}\")
  endif()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS \"\${CMAKE_MATCH_1}\")
endif()
")

# ---- Debian packages (cpack -G DEB in the build folder) ----
set(CPACK_GENERATOR DEB)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake)
set(CPACK_PACKAGE_NAME ${HX_DEB_RUNTIME})
set(CPACK_PACKAGE_VENDOR "Hx_Aec_Mod project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${HX_DEB_RELEASE})
set(CPACK_PACKAGE_CONTACT "${HX_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${HX_DEB_PREFIX})
set(CPACK_COMPONENTS_ALL runtime dev sim)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Library dependencies come from dpkg-shlibdeps. The stand-ins' folder is
# private to hx-aec-mod-sim, the real back-ends' to hx-aec-mod.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${HX_SIM_LIB_DIR} ${HX_PRIVATE_LIB_DIR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${HX_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS OFF)
# The module sits in a folder ldconfig scans: its cache is refreshed once per
# dpkg run, after install and after removal.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "In-process audio front-end library
libHx_Aec_Mod.so captures the microphone through its back-end libraries,
cleans it (high-pass filter, noise suppression, gain control), mixes it
with system audio and hands the host 10 ms blocks of 48 kHz stereo; it
feeds far-end audio to the echo-cancelling voice path.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${HX_DEB_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${HX_DEB_RUNTIME} (= ${HX_DEB_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "In-process audio front-end library (development files)
The header hx_aec_mod.h, the pkg-config file hx-aec-mod.pc and the CMake
package HxAecMod (imported target HxAecMod::HxAecMod).")
set(CPACK_DEBIAN_SIM_PACKAGE_NAME ${HX_DEB_SIM})
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "${HX_DEB_RUNTIME} (= ${HX_DEB_VERSION})")
set(CPACK_DEBIAN_SIM_DESCRIPTION "Simulated audio world for hx-aec-mod hosts' tests
libhxsim.so and stand-ins for the five back-end libraries, in the folder
/usr/${HX_INSTALL_SIMDIR}.
A host runs the module on simulated devices by putting that folder first
in LD_LIBRARY_PATH; HXSIM_* variables or the hxsim.h API set the
microphone and system audio.")
include(CPack)
