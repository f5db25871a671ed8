#include "app/console/console_view.h"

#include <cctype>
#include <filesystem>
#include <istream>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>

#include "app/console/terminal_owner.h"
#include "operations/messages.h"

namespace kestrune::console {

namespace {
constexpr unsigned kMbTypeMask = 0xF;
}  // namespace

std::string TerminalText(std::string_view text) {
  std::string shown;
  for (size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead == '\n' || platform::IsPrintableByte(text[at])) {
      shown.push_back(text[at++]);
      continue;
    }
    // C2 80 to C2 9F encode the C1 controls, which some terminals obey.
    const size_t length = lead >= 0xF0 && lead <= 0xF4   ? 4
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xC2 && lead <= 0xDF ? 2
                                                         : 0;
    bool whole = length != 0 && at + length <= text.size();
    for (size_t i = 1; whole && i < length; ++i) {
      const auto next = static_cast<unsigned char>(text[at + i]);
      whole = next >= 0x80 && next <= 0xBF && !(lead == 0xC2 && next < 0xA0);
    }
    if (whole) {
      shown.append(text.substr(at, length));
      at += length;
    } else {
      shown.push_back('?');
      ++at;
    }
  }
  return shown;
}

std::vector<std::string> HostPathLines(const std::vector<BoxFile>& files) {
  std::vector<std::string> lines;
  std::set<std::string> told;
  for (const auto& [path, host] : files) {
    if (!told.insert(path).second) continue;
    if (host.empty() || host == path) continue;
    std::string line = path + " is " + host;
    // A file the program could not make says so when its folder is not there.
    const std::filesystem::path folder = std::filesystem::path(host).parent_path();
    std::error_code error;
    if (!folder.empty() && !std::filesystem::is_directory(folder, error)) {
      line += "; its folder " + folder.string() + " is missing";
    }
    lines.push_back(TerminalText(line));
  }
  return lines;
}

std::string HeldDriveText(const HeldDrive& drive) {
  return std::string(1, drive.letter) + ": (" + drive.holder +
         ") is held by another run of kestrune; left out";
}

ConsoleView::ConsoleView(std::ostream& boxes, std::istream& in, std::ostream& err,
                         Answering answering, bool quiet)
    : boxes_(boxes), in_(in), err_(err), answering_(answering), quiet_(quiet) {}

ConsoleView::~ConsoleView() {
  try {
    ShowHeld();
  } catch (...) {
    // A stream that throws at the end loses the line, not the run.
  }
}

std::string ConsoleView::BoxText(const std::string& text, const std::string& caption,
                                 const std::vector<BoxFile>& files) {
  std::string box = '[' + caption + "] " + TerminalText(text) + '\n';
  for (const std::string& line : HostPathLines(files)) box += "  " + line + '\n';
  return box;
}

void ConsoleView::Print(const std::string& text, const std::string& caption,
                        const std::vector<BoxFile>& files) {
  boxes_ << BoxText(text, caption, files) << std::flush;
}

void ConsoleView::ShowHeld() {
  for (const HeldBox& box : held_) {
    auto* owned = dynamic_cast<OwnedStream*>(&boxes_);
    if (owned != nullptr && box.heldText) {
      owned->owner().ShowHeldText(*box.heldText);
    } else {
      Print(box.text, box.caption, box.files);
    }
  }
  held_.clear();
}

int ConsoleView::ShowMessage(const std::string& text, const std::string& caption, unsigned style) {
  return ShowMessageNaming(text, caption, style, {});
}

int ConsoleView::ShowMessageNaming(const std::string& text, const std::string& caption,
                                   unsigned style, const std::vector<BoxFile>& files) {
  const bool okOnly = (style & kMbTypeMask) != kMbOkCancel;
  lastBoxPrinted_ = false;
  if (!okOnly && !PassGate()) return kIdCancel;
  if (!quiet_ || ShownWhenQuiet(style, answering_)) {
    if (holdReplug_ && okOnly && (style & kBoxTellsReplug) != 0) {
      HeldBox box{text, caption, files, std::nullopt};
      // Owed through the owner of the terminal, as its lines would go.
      if (auto* owned = dynamic_cast<OwnedStream*>(&boxes_)) {
        std::string lines;
        std::istringstream each(BoxText(text, caption, files));
        for (std::string line; std::getline(each, line);) lines += owned->prefix() + line + '\n';
        box.heldText = owned->owner().HoldText(owned->to(), lines);
      }
      held_.push_back(std::move(box));
    } else {
      Print(text, caption, files);
      lastBoxPrinted_ = true;
    }
  }
  if (okOnly) return kIdOk;

  int answer = kIdCancel;
  switch (answering_) {
    case Answering::kAlwaysOk:
      answer = kIdOk;
      break;
    case Answering::kNeverAsk:
      err_ << "(no terminal to ask: answered Cancel; --yes answers OK)" << std::endl;
      break;
    case Answering::kAsk:
      answer = Ask(text);
      break;
  }
  return answer;
}

int ConsoleView::Ask(const std::string& text) {
  (void)text;
  // The question and its answer stand alone: the rows a terminal owner
  // draws step aside until the answer is in.
  std::optional<TerminalOwner::Pause> pause;
  if (TerminalOwner* owner = OwnerOf(err_)) pause.emplace(owner);
  err_ << "OK or Cancel? [o/C] " << std::flush;
  std::string reply;
  if (!std::getline(in_, reply)) return kIdCancel;
  std::transform(reply.begin(), reply.end(), reply.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  // Anything but a clear yes is a Cancel: this box guards a flash write.
  if (reply == "o" || reply == "ok" || reply == "y" || reply == "yes") return kIdOk;
  return kIdCancel;
}

void ConsoleView::Step(const StepEvent& step) {
  if (quiet_ || step.kind == StepKind::kScan || step.kind == StepKind::kErase) return;
  const char* mark = step.state == StepState::kDone     ? "... done: "
                     : step.state == StepState::kFailed ? "... failed: "
                                                        : "... ";
  err_ << mark << step.text << std::endl;
}

void ConsoleView::FileKept(const KeptFile& file) {
  // A file that changes as the run goes, such as a log or the backup
  // records, is named once.
  if (!file.size && !growing_.insert(file.hostPath).second) return;
  if (!quiet_) err_ << file.name << " -> " << file.hostPath << std::endl;
}

void ConsoleView::Explained(const FailureCause& why) {
  if (lastBoxPrinted_) boxes_ << TerminalText(why.line) << std::endl;
}

void ConsoleView::ImageChosen(const WrittenImage& image) {
  if (quiet_) return;
  boxes_ << TerminalText(ImageLine(image)) << std::endl;
}

void ConsoleView::DriveHeld(const HeldDrive& drive) {
  err_ << "kestrune: " << HeldDriveText(drive) << std::endl;
}

}  // namespace kestrune::console
