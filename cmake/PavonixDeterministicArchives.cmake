# Static libraries whose members carry no time stamps, owners or modes,
# whatever the default of the binutils at hand: ar and ranlib in deterministic
# mode (D). Include after project(), where the platform files set these rules;
# scripts/setup passes it to the dependency builds as CMAKE_PROJECT_INCLUDE.
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()
