#include "log/isp_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/text.h"

namespace kestrune {
namespace {

constexpr const char* kHeaderRule =
    "--------------------------------------------------------------------------------\r\n";
constexpr const char* kHeaderTitles =
    " HEX|                      HEX DATA                     |       ASCII      |HEX \r\n";
constexpr const char* kHeaderColumns =
    "ADDR| 00 01 02 03 04 05 06 07   08 09 0A 0B 0C 0D 0E 0F | 0123456789ABCDEF |ADDR\r\n";
constexpr int kClosingRuleLength = 79;

}  // namespace

IspLog::IspLog(platform::Platform& platform) : platform_(platform) {}

void IspLog::StartLog() {
  logEnabled = false;
  logFile_.reset();
  if (!platform_.FindFile(kIspLogPath)) return;
  platform_.DeleteFile(kIspLogPath);
  logFile_ = platform_.OpenFile(kIspLogPath, platform::OpenMode::kWriteBinaryTruncate);
  // A log that is there but cannot be made anew leaves logging off, so no
  // later write reaches a file that is not open.
  if (!logFile_) return;
  logEnabled = true;
  std::snprintf(logLine, sizeof logLine, "Start");
  AppendLog(logLine);
}

int IspLog::AppendLog(const char* text) {
  if (!logEnabled || !logFile_) return 1;
  size_t length = text != nullptr ? strnlen(text, kMaxLogLineLength) : 0;
  std::string line(text != nullptr ? text : "", length);
  line += "\r\n";
  logFile_->Write(line.data(), line.size());
  return 0;
}

void IspLog::DumpHexToLog(uint32_t count, const uint8_t* bytes) {
  std::string dump = FormatHexDump(count, bytes);
  if (!logEnabled || !logFile_) return;
  logFile_->Write(dump.data(), dump.size());
  std::memset(logLine, '-', kClosingRuleLength);
  logLine[kClosingRuleLength] = '\0';
  AppendLog(logLine);
}

void IspLog::Debug(const char* text) {
  if (text != nullptr) platform_.DebugOutput(text);
}

int IspLog::AppendLogFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(logLine, sizeof logLine, format, args);
  va_end(args);
  return AppendLog(logLine);
}

std::string FormatHexDump(uint32_t count, const uint8_t* bytes) {
  std::string text;
  text.reserve(size_t{4} * 82 + (static_cast<size_t>(count) / 16 + 1) * 82);
  text += kHeaderRule;
  text += kHeaderTitles;
  text += kHeaderColumns;
  text += kHeaderRule;
  if (bytes == nullptr) return text;
  char piece[16];
  for (uint32_t i = 0; i < count; ++i) {
    if (i % 16 == 0) {
      std::snprintf(piece, sizeof piece, "%04X| ", i);
      text += piece;
    }
    std::snprintf(piece, sizeof piece, "%02X ", bytes[i]);
    text += piece;
    if (i % 16 == 7) text += ": ";
    if (i % 16 == 15) {
      text += "| ";
      for (uint32_t k = i - 15; k <= i; ++k) {
        uint8_t b = bytes[k];
        text += platform::IsPrintableByte(static_cast<char>(b)) ? static_cast<char>(b) : '.';
      }
      std::snprintf(piece, sizeof piece, " |%04X\r\n", i - 15);
      text += piece;
    }
  }
  return text;
}

}  // namespace kestrune
