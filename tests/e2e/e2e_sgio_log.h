// Reads the lines the SG_IO preload library records (KESTRUNE_SGIO_LOG).
#pragma once

#include <string>
#include <vector>

namespace kestrune::e2e {

struct SgioLogLine {
  std::string cdb;        // "12 00 00 00 b4 00"
  std::string direction;  // none, to, from
  unsigned length = 0;
  unsigned timeoutMs = 0;
  unsigned senseMax = 0;
  unsigned status = 0;
  unsigned host = 0;
  unsigned driver = 0;
};

// The SG_IO lines of the log file, in order; other lines are skipped.
std::vector<SgioLogLine> ReadSgioLog(const std::string& path);

}  // namespace kestrune::e2e
