# Install tree, pkg-config files, CMake package and Debian packages.
#
# Components:
#   runtime  the module and the real back-end libraries (HX_REAL_BACKEND_TARGETS)
#            side by side in the library folder: the module finds them through
#            RUNPATH=$ORIGIN. Debian package hx-aec-mod.
#   dev      hx_aec_mod.h, hx-aec-mod.pc and the CMake package HxAecMod.
#            Debian package hx-aec-mod-dev.
#   sim      the simulated world and its five stand-ins, in
#            <libdir>/hx-aec-mod/sim (the same relative folder as in the build
#            tree; their RUNPATH=$ORIGIN finds libhxsim.so beside them), with
#            hxsim.h and hx-aec-mod-sim.pc. Only for hosts' own tests: not part
#            of a plain `cmake --install`; `--component sim` installs it.
#            Debian package hx-aec-mod-sim.
# package-manifest.txt in the build tree gives the package test the version,
# the prefix and the module's installed path.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT DEFINED HX_REAL_BACKEND_TARGETS)
  set(HX_REAL_BACKEND_TARGETS "")
endif()
set(HX_SIM_TARGETS hxsim sim_BrisaDll sim_MirelDll sim_TovanDll sim_MMDevApi sim_ntdll)
set(HX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/HxAecMod)
set(HX_INSTALL_SIMDIR ${CMAKE_INSTALL_LIBDIR}/hx-aec-mod/sim)
set(HX_INSTALL_PCDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- runtime ----
set_target_properties(Hx_Aec_Mod PROPERTIES EXPORT_NAME HxAecMod)
target_include_directories(Hx_Aec_Mod INTERFACE
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS Hx_Aec_Mod EXPORT HxAecModTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
if(HX_REAL_BACKEND_TARGETS)
  install(TARGETS ${HX_REAL_BACKEND_TARGETS}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
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

# ---- Debian package names and prefix ----
set(HX_DEB_PREFIX /usr)
set(HX_DEB_RUNTIME hx-aec-mod)
set(HX_DEB_DEV hx-aec-mod-dev)
set(HX_DEB_SIM hx-aec-mod-sim)

# ---- manifest for the package test: the version, the prefix and where
# the module installs ----
set(hx_manifest "version ${PROJECT_VERSION}\nprefix ${HX_DEB_PREFIX}\n")
string(APPEND hx_manifest "runtime ${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:Hx_Aec_Mod>\n")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/package-manifest.txt CONTENT "${hx_manifest}")

# ---- Debian packages (cpack -G DEB in the build folder) ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${HX_DEB_RUNTIME})
set(CPACK_PACKAGE_VENDOR "Hx_Aec_Mod project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Hx_Aec_Mod maintainers <hx-aec-mod@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${HX_DEB_PREFIX})
set(CPACK_COMPONENTS_ALL runtime dev sim)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Library dependencies come from dpkg-shlibdeps. The stand-ins' library
# folder is private to hx-aec-mod-sim; while no real back-ends are built, the
# module's back-end sonames resolve only there.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${HX_SIM_LIB_DIR} ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${HX_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "In-process audio front-end library
libHx_Aec_Mod.so captures the microphone through its back-end libraries,
cleans it (high-pass filter, noise suppression, gain control), mixes it
with system audio and hands the host 10 ms blocks of 48 kHz stereo; it
feeds far-end audio to the echo-cancelling voice path.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${HX_DEB_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${HX_DEB_RUNTIME} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "In-process audio front-end library (development files)
The header hx_aec_mod.h, the pkg-config file hx-aec-mod.pc and the CMake
package HxAecMod (imported target HxAecMod::HxAecMod).")
set(CPACK_DEBIAN_SIM_PACKAGE_NAME ${HX_DEB_SIM})
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "${HX_DEB_RUNTIME} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_SIM_DESCRIPTION "Simulated audio world for hx-aec-mod hosts' tests
libhxsim.so and stand-ins for the five back-end libraries, in
/usr/lib/hx-aec-mod/sim. A host runs the module on simulated devices by
putting that folder first in LD_LIBRARY_PATH; HXSIM_* variables or the
hxsim.h API set the microphone and system audio.")
include(CPack)
