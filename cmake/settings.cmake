# Build-time settings: the program has no run-time configuration.
set(QUORVEL_DOWNLOAD_BASE_URL "https://download.quorvel.com" CACHE STRING "Base URL of the disk images")
set(QUORVEL_WEBSITE_BASE_URL "https://www.quorvel.com" CACHE STRING "Base URL of the web site")
set(QUORVEL_MP_HOST "www.google-analytics.com" CACHE STRING "Measurement Protocol host (host[:port])")
set(QUORVEL_MEASUREMENT_ID "G-QX7TR2KD4P" CACHE STRING "Analytics measurement id")
set(QUORVEL_API_SECRET "-K3vTq9ZpLmW2xYbNc8Hda" CACHE STRING "Analytics API secret; empty sends nothing")
set(QUORVEL_CA_FILE "" CACHE FILEPATH
    "Trust anchors for the download and analytics hosts instead of the system's; empty: the system's")
set(QUORVEL_BUNDLE_ID "com.quorvel.setup" CACHE STRING "Bundle identifier of the setup")
set(QUORVEL_DOWNLOAD_LIMIT "17179869184" CACHE STRING
    "Largest disk image in bytes; a larger download fails as not enough disk space")
if(NOT QUORVEL_DOWNLOAD_LIMIT MATCHES "^[1-9][0-9]*$")
  message(FATAL_ERROR "QUORVEL_DOWNLOAD_LIMIT must be a number of bytes")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/build_settings.h.in
               ${CMAKE_BINARY_DIR}/generated/build_settings.h @ONLY)
