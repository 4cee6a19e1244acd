// Second process of the identity suite: writes the identity it loads to the
// file named by its argument.
#include <cstdio>

#include "config/sysconfig.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  FILE* f = fopen(argv[1], "wb");
  if (!f) return 3;
  const std::string& id = CPavonixSysConfig::GetInstance()->m_strUniqueId;
  fwrite(id.data(), 1, id.size(), f);
  fclose(f);
  return 0;
}
