# Every outside dependency is looked up here, once; the folders only link the targets.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

# Core: codec, sound devices and WAV files, voice processing, option parsing.
find_package(GSM REQUIRED)
pkg_check_modules(PORTAUDIO REQUIRED IMPORTED_TARGET portaudio-2.0)
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
# Echo cancellation, noise suppression and automatic gain on the microphone signal.
pkg_check_modules(SPEEXDSP REQUIRED IMPORTED_TARGET speexdsp)
# JACK is only used to keep its client library quiet when PortAudio probes for a server.
pkg_check_modules(JACK QUIET IMPORTED_TARGET jack)
find_package(CLI11 CONFIG REQUIRED)
# STUN/TURN message integrity (HMAC-SHA1, MD5) and fingerprints (CRC-32); the directory
# service's HTTPS listener (libssl) and its self-signed certificate.
find_package(OpenSSL REQUIRED COMPONENTS Crypto SSL)
find_package(ZLIB REQUIRED)
# The speech's end-to-end encryption (key agreement, signatures, AEAD); also the directory's
# password hashing.
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)

# The directory: HTTP client (also for the headless tool's calls by name) and server, storage,
# password hashing.
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
# Router port mapping (the directory client library): UPnP IGD (miniupnpc ships a pkg-config
# file) and NAT-PMP (libnatpmp ships none: its header and library are looked up and wrapped in an
# imported target).
pkg_check_modules(MINIUPNPC REQUIRED IMPORTED_TARGET miniupnpc)
find_path(NATPMP_INCLUDE_DIR natpmp.h REQUIRED)
find_library(NATPMP_LIBRARY natpmp REQUIRED)
add_library(natpmp::natpmp UNKNOWN IMPORTED)
set_target_properties(natpmp::natpmp PROPERTIES
    IMPORTED_LOCATION "${NATPMP_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${NATPMP_INCLUDE_DIR}")
if(NOT ZORVO_CORE_ONLY)
    pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
    pkg_check_modules(SQLITE REQUIRED IMPORTED_TARGET sqlite3)
    # PostgreSQL client library: the directory's storage shared by several service processes.
    pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET libpq)
endif()

# The desktop client.
if(ZORVO_WITH_APP)
    # DBus: desktop notifications through the freedesktop notification service.
    find_package(Qt6 REQUIRED COMPONENTS Widgets Network Test DBus)
    # The desktop's keyring (Secret Service) for the saved password; target `qt6keychain`.
    find_package(Qt6Keychain REQUIRED)
endif()

if(ZORVO_BUILD_TESTS)
    find_package(GTest REQUIRED)
    include(GoogleTest)
endif()
if(ZORVO_BUILD_BENCH)
    find_package(benchmark REQUIRED)
endif()
