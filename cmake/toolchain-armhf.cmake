# Cross build for the controller board: 32-bit ARM hard-float Linux, with
# Debian's arm-linux-gnueabihf compiler and the :armhf -dev packages.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(QPR_CROSS_PREFIX arm-linux-gnueabihf-)
find_program(CMAKE_C_COMPILER NAMES ${QPR_CROSS_PREFIX}gcc-12 ${QPR_CROSS_PREFIX}gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QPR_CROSS_PREFIX}g++-12 ${QPR_CROSS_PREFIX}g++ REQUIRED)
find_program(CMAKE_STRIP NAMES ${QPR_CROSS_PREFIX}strip)
find_program(CMAKE_READELF NAMES ${QPR_CROSS_PREFIX}readelf)

# -Wcast-align: ARM needs aligned float/double/64-bit loads, so a cast that
# raises alignment (bytes to float*) is a fault waiting for -O2; x86 builds
# cannot see it. -Wno-psabi: the whole build uses one compiler, so GCC's notes
# on the argument passing change of GCC 7.1 concern no caller of ours.
set(CMAKE_CXX_FLAGS_INIT "-Wcast-align -Wno-psabi")

# Programs (compilers, generators) come from the build machine; libraries,
# headers and CMake package files only from the armhf multiarch folders.
# Debian's multiarch layout keeps those under /usr, so the root path is "/"
# and CMAKE_LIBRARY_ARCHITECTURE selects the armhf subfolders.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under user-mode qemu. The armhf loader sits at its
# multiarch path (/lib/ld-linux-armhf.so.3), so qemu-arm needs no -L; -L would
# also break programs that fork. Set QEMU_LD_PREFIX in the environment where
# the loader lives elsewhere.
find_program(QPR_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(QPR_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QPR_QEMU_ARM})
endif()

# pkg-config: only the armhf .pc files.
set(ENV{PKG_CONFIG_LIBDIR}
    "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
find_program(PKG_CONFIG_EXECUTABLE NAMES ${CMAKE_LIBRARY_ARCHITECTURE}-pkg-config pkg-config)

# net-snmp's development files cannot be installed for armhf beside the build
# machine's (libsnmp-dev is not Multi-Arch): scripts/armhf-snmp-sysroot.sh
# unpacks them, with the libraries they link against, into a folder of their
# own, given here as QPR_ARMHF_SNMP_SYSROOT (or in the environment). Its .pc
# files name that folder; the linker finds the libraries' own NEEDED libraries
# there (-rpath-link), and programs run under qemu load them from there.
# Without it, a build with the SNMP subagent (QPR_SNMP, on by default) stops
# at configure time; -DQPR_SNMP=OFF builds the runner without it.
if(NOT QPR_ARMHF_SNMP_SYSROOT AND DEFINED ENV{QPR_ARMHF_SNMP_SYSROOT})
  set(QPR_ARMHF_SNMP_SYSROOT "$ENV{QPR_ARMHF_SNMP_SYSROOT}")
endif()
set(QPR_ARMHF_SNMP_SYSROOT "${QPR_ARMHF_SNMP_SYSROOT}" CACHE PATH
    "Folder of net-snmp's armhf files (scripts/armhf-snmp-sysroot.sh)")
if(QPR_ARMHF_SNMP_SYSROOT)
  # CMake reads this file again in-process for its checks, where the cache
  # variable is not set: the environment keeps it for them.
  set(ENV{QPR_ARMHF_SNMP_SYSROOT} "${QPR_ARMHF_SNMP_SYSROOT}")
  set(_qpr_snmp_lib "${QPR_ARMHF_SNMP_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  set(ENV{PKG_CONFIG_LIBDIR} "$ENV{PKG_CONFIG_LIBDIR}:${_qpr_snmp_lib}/pkgconfig")
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_qpr_snmp_lib}")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_qpr_snmp_lib}")
  if(QPR_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QPR_QEMU_ARM} -E LD_LIBRARY_PATH=${_qpr_snmp_lib})
  endif()
endif()
