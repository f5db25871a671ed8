#include <cstdio>
#include <fstream>

#include "tests/e2e/e2e_sgio_log.h"

namespace kestrune::e2e {

std::vector<SgioLogLine> ReadSgioLog(const std::string& path) {
  std::vector<SgioLogLine> lines;
  std::ifstream in(path);
  std::string text;
  while (std::getline(in, text)) {
    if (text.rfind("SG_IO cdb=", 0) != 0) continue;
    SgioLogLine line;
    size_t dir = text.find(" dir=");
    if (dir == std::string::npos) continue;
    line.cdb = text.substr(10, dir - 10);
    char direction[8] = {};
    if (std::sscanf(text.c_str() + dir,
                    " dir=%7s len=%u timeout_ms=%u mx_sb_len=%u -> status=%x host=%u driver=%u",
                    direction, &line.length, &line.timeoutMs, &line.senseMax, &line.status,
                    &line.host, &line.driver) != 7) {
      continue;
    }
    line.direction = direction;
    lines.push_back(line);
  }
  return lines;
}

}  // namespace kestrune::e2e
