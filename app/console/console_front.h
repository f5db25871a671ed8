// The console's side of the session's runs: the view, the drive list, the
// prompt and the flash map a job shows, the lines and rows of the run
// through its terminal owner, and the run request made of the options.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "app/console/terminal_owner.h"
#include "app/session/run_front.h"
#include "app/session/run_request.h"

namespace kestrune::console {

// The terminal's owner is the session's; the console draws through it.

class ConsoleFront : public session::RunFront {
 public:
  ConsoleFront(TerminalOwner& terminal, const ConsoleOptions& options, const ConsoleStreams& io)
      : terminal_(terminal), options_(options), io_(io) {}

  std::unique_ptr<session::JobView> MakeView(std::ostream& boxes, std::istream& in,
                                             std::ostream& err, session::Answering answering,
                                             bool quiet) override;
  void ShowDriveList(const DriveSession& session, std::ostream& out) override;
  void Prompt(DriveSession& session, bool destroy, session::JobView& view, std::istream& in,
              std::ostream& out, std::ostream& err) override;
  bool KeepMap(Program& program, const FlashMap& map, std::string* text, bool colour,
               std::string& problem) override;
  std::unique_ptr<session::LineStream> Lines(Output output, std::string prefix) override;
  std::istream& Input() override { return io_.in; }
  void Note(const std::string& line) override { terminal_.Line(io_.err, line); }
  std::unique_ptr<session::DriveRows> Rows() override;

 private:
  TerminalOwner& terminal_;
  const ConsoleOptions& options_;
  const ConsoleStreams& io_;
};

// How a run's OK/Cancel boxes are answered: OK with --yes, asked on a
// terminal, Cancel without one.
session::Answering AnsweringOf(const ConsoleOptions& options, const ConsoleStreams& io);

// The run's plan, made once of the options and the settings.
session::RunRequest RequestOf(const ConsoleOptions& options, const ConsoleStreams& io,
                              const Settings& settings = {});

}  // namespace kestrune::console
