// What a front end gives the session's runs: the view each job shows its
// boxes through, the streams its lines go to, the rows of a live table, and
// what only the front end draws of a job (the drive list, the prompt, the
// picture of the flash).
#pragma once

#include <iosfwd>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/session/job_view.h"
#include "app/session/run_request.h"
#include "base/report.h"
#include "operations/flash_map.h"

namespace kestrune {
struct Program;
class DriveSession;
}  // namespace kestrune

namespace kestrune::session {

class DriveJob;

// A stream of whole lines; Finish puts out a last line without its end.
class LineStream : public std::ostream {
 public:
  using std::ostream::ostream;
  virtual void Finish() = 0;
};

// The rows of a live table the jobs of a run move on.
class DriveRows {
 public:
  virtual ~DriveRows() = default;
  // A row for `job`; the observer returned lives as long as these rows and
  // takes the job's steps.
  virtual ReportObserver& Add(const DriveJob& job) = 0;
  // The rows tell their jobs' last state and stay on screen.
  virtual void Stop() = 0;
};

class RunFront {
 public:
  virtual ~RunFront() = default;

  // The view of one job, or of the run's own question: boxes to `boxes`,
  // questions read from `in`, progress and prompts to `err`; `quiet` keeps
  // only errors, warnings and the questions a user must answer.
  virtual std::unique_ptr<JobView> MakeView(std::ostream& boxes, std::istream& in,
                                            std::ostream& err, Answering answering, bool quiet) = 0;
  // The session's drive list, the selected entry marked.
  virtual void ShowDriveList(const DriveSession& session, std::ostream& out) = 0;
  // The prompt: commands read from `in` until it ends or one ends it;
  // `destroy` offers destroy where a fix is offered.
  virtual void Prompt(DriveSession& session, bool destroy, JobView& view, std::istream& in,
                      std::ostream& out, std::ostream& err) = 0;
  // Keeps the picture of `map` in the selected drive's C: folder and, with
  // `text`, puts there the picture a terminal shows (coloured with
  // `colour`), both with the caption the drive has now. False with
  // `problem` set when the picture cannot be kept.
  virtual bool KeepMap(Program& program, const FlashMap& map, std::string* text, bool colour,
                       std::string& problem) = 0;

  enum class Output {
    kBoxes,   // where the boxes and the drive list go
    kErrors,  // where problems, progress and prompts go
  };
  // A stream of the run's lines, each behind `prefix` ("E: ").
  virtual std::unique_ptr<LineStream> Lines(Output output, std::string prefix = {}) = 0;
  // Where the run's own question is answered.
  virtual std::istream& Input() = 0;
  // A line of the run's own, not a problem, where its problems go.
  virtual void Note(const std::string& line) = 0;
  // The rows the jobs of a run of several drives move on; null when none
  // are shown.
  virtual std::unique_ptr<DriveRows> Rows() = 0;
};

// Whether a quiet view shows a box: an error or a warning, or a question
// that `answering` does not answer on its own.
bool ShownWhenQuiet(unsigned style, Answering answering);

}  // namespace kestrune::session
