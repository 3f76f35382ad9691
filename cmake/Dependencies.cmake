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
    pkg_check_modules(NETSNMP_AGENT REQUIRED IMPORTED_TARGET netsnmp-agent)
  endif()
endif()
