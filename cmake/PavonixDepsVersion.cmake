# Versions of the mingw dependencies that scripts/setup builds. The prefix of
# each triplet is <deps root>/${PAVONIX_DEPS_VERSION}/<triplet>; scripts/setup
# reads these lines too, so change them only together with its recipe.
set(PAVONIX_JSONCPP_VERSION "1.9.5")
set(PAVONIX_GTEST_VERSION "1.12.1")
# SHA-256 of Debian's libjsoncpp_<version>.orig.tar.gz (the upstream release).
set(PAVONIX_JSONCPP_SHA256 "f409856e5920c18d0c2fb85276e24ee607d2a09b5e7d5f0a371368903c275da2")
# Revision of scripts/setup's build recipe. It is part of the prefix's name, so
# a changed recipe builds beside the old prefix instead of over it.
set(PAVONIX_DEPS_RECIPE "2")
set(PAVONIX_DEPS_VERSION "jsoncpp-${PAVONIX_JSONCPP_VERSION}_gtest-${PAVONIX_GTEST_VERSION}_r${PAVONIX_DEPS_RECIPE}")
set(PAVONIX_DEPS_DEFAULT_ROOT "/var/cache/pavonix/deps")
# The WoW64 root in which the win32 build runs (scripts/setup makes it,
# scripts/lib/wow64/enter uses it): Debian bookworm with wine, wine64 and
# wine32:i386 and the fonts, under qemu-user from bookworm-backports.
set(PAVONIX_WOW64_KEY "bookworm-wow64-r2")
set(PAVONIX_WOW64_DEFAULT_ROOT "/var/cache/pavonix/wow64")
