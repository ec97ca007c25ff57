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

# The demo key signs the sample images; the demo and end-to-end builds check them with it.
set(QUORVEL_DEMO_KEY_DIR "${PROJECT_SOURCE_DIR}/build/demo-server" CACHE PATH
    "Where the demo signing key is made once")
execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/demo-key.sh ${QUORVEL_DEMO_KEY_DIR}
                RESULT_VARIABLE demo_key_result)
if(NOT demo_key_result EQUAL 0)
  message(FATAL_ERROR "The demo signing key could not be made in ${QUORVEL_DEMO_KEY_DIR}")
endif()

# The vendor's minisign key: with one, the setup installs only images signed with it.
set(QUORVEL_IMAGE_PUBLIC_KEY "" CACHE STRING
    "Public key for the images' signatures, the base64 line `minisign -G` prints; empty: not checked")
set(QUORVEL_IMAGE_PUBLIC_KEY_FILE "" CACHE FILEPATH
    "A minisign public key file, read when QUORVEL_IMAGE_PUBLIC_KEY is empty")
set(image_public_key "${QUORVEL_IMAGE_PUBLIC_KEY}")
if(NOT image_public_key AND QUORVEL_IMAGE_PUBLIC_KEY_FILE)
  if(NOT EXISTS "${QUORVEL_IMAGE_PUBLIC_KEY_FILE}")
    message(FATAL_ERROR "QUORVEL_IMAGE_PUBLIC_KEY_FILE ${QUORVEL_IMAGE_PUBLIC_KEY_FILE} does not "
                        "exist (the demo key is made by scripts/release-server.sh cert)")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${QUORVEL_IMAGE_PUBLIC_KEY_FILE}")
  file(STRINGS "${QUORVEL_IMAGE_PUBLIC_KEY_FILE}" key_lines REGEX "^RW")
  list(GET key_lines 0 image_public_key)
endif()
string(LENGTH "${image_public_key}" image_public_key_length)
if(image_public_key AND NOT (image_public_key MATCHES "^RW[QRST][A-Za-z0-9+/]+$" AND
                             image_public_key_length EQUAL 56))
  message(FATAL_ERROR "The image public key must be the base64 line of a minisign public key")
endif()
if(NOT image_public_key AND CMAKE_BUILD_TYPE STREQUAL "Release")
  message(WARNING "\n*** No QUORVEL_IMAGE_PUBLIC_KEY: this setup will install disk images "
                  "WITHOUT checking their signature. Set the vendor's key for a release. ***\n")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/build_settings.h.in
               ${CMAKE_BINARY_DIR}/generated/build_settings.h @ONLY)
