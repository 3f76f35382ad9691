# Finds the Debian-packaged dependencies: Boost, jsoncpp, fmt, GoogleTest.
find_package(Boost 1.74 REQUIRED COMPONENTS date_time program_options)
find_package(fmt REQUIRED)
if(QPR_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
find_package(jsoncpp CONFIG REQUIRED)
