# Versions of the mingw dependencies that scripts/setup builds. The prefix of
# each triplet is <deps root>/${PAVONIX_DEPS_VERSION}/<triplet>; scripts/setup
# reads these lines too, so change them only together with its recipe.
set(PAVONIX_JSONCPP_VERSION "1.9.5")
set(PAVONIX_GTEST_VERSION "1.12.1")
set(PAVONIX_DEPS_VERSION "jsoncpp-${PAVONIX_JSONCPP_VERSION}_gtest-${PAVONIX_GTEST_VERSION}")
set(PAVONIX_DEPS_DEFAULT_ROOT "/var/cache/pavonix/deps")
# The WoW64 root in which the win32 build runs (scripts/setup makes it,
# scripts/lib/wow64/enter uses it): Debian bookworm with wine, wine64 and
# wine32:i386, under qemu-user from bookworm-backports.
set(PAVONIX_WOW64_KEY "bookworm-wow64-r1")
set(PAVONIX_WOW64_DEFAULT_ROOT "/var/cache/pavonix/wow64")
