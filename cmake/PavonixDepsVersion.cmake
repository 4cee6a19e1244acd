# Versions of the mingw dependencies that scripts/setup builds. The prefix of
# each triplet is <deps root>/${PAVONIX_DEPS_VERSION}/<triplet>; scripts/setup
# reads these lines too, so change them only together with its recipe.
set(PAVONIX_JSONCPP_VERSION "1.9.5")
set(PAVONIX_GTEST_VERSION "1.12.1")
set(PAVONIX_DEPS_VERSION "jsoncpp-${PAVONIX_JSONCPP_VERSION}_gtest-${PAVONIX_GTEST_VERSION}")
set(PAVONIX_DEPS_DEFAULT_ROOT "/var/cache/pavonix/deps")
