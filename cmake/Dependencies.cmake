# Finds the Debian-packaged dependencies: Boost, jsoncpp, fmt, GoogleTest, and
# for the tools libmosquitto (the runner's MQTT exporter) and net-snmp's agent
# library (its SNMP AgentX subagent).
find_package(Boost 1.74 REQUIRED COMPONENTS date_time program_options)
find_package(fmt REQUIRED)
if(QPR_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
find_package(jsoncpp CONFIG REQUIRED)
if(QPR_BUILD_TOOLS)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(MOSQUITTO REQUIRED IMPORTED_TARGET libmosquitto)
  if(QPR_SNMP)
    pkg_check_modules(NETSNMP_AGENT IMPORTED_TARGET netsnmp-agent)
    if(NOT NETSNMP_AGENT_FOUND)
      if(CMAKE_CROSSCOMPILING)
        message(FATAL_ERROR "net-snmp's agent library for ${CMAKE_LIBRARY_ARCHITECTURE} is missing: "
          "give -DQPR_ARMHF_SNMP_SYSROOT=$(scripts/armhf-snmp-sysroot.sh), or -DQPR_SNMP=OFF for a runner without SNMP")
      endif()
      message(FATAL_ERROR "net-snmp's agent library is missing: install libsnmp-dev (scripts/install-deps.sh), "
        "or give -DQPR_SNMP=OFF for a runner without SNMP")
    endif()
  endif()
endif()
