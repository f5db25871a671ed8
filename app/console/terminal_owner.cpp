#include "app/console/terminal_owner.h"

#include <chrono>
#include <utility>
#include <vector>

namespace kestrune::console {

// The owner's lock. Once the run's last word comes, what other threads
// write is dropped, so that nothing comes under it; the thread that writes
// it waits a while for a writer, and writes all the same.
class TerminalOwner::Hold {
 public:
  explicit Hold(const TerminalOwner& owner, bool lastWord = false) : owner_(owner) {
    if (owner_.frozen_ && owner_.frozenBy_.load() == std::this_thread::get_id()) {
      locked_ = owner_.mutex_.try_lock_for(std::chrono::seconds(1));
      return;
    }
    owner_.mutex_.lock();
    locked_ = true;
    dropped_ = owner_.frozen_ && !lastWord;
  }
  ~Hold() {
    if (locked_) owner_.mutex_.unlock();
  }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

  bool dropped() const { return dropped_; }

 private:
  const TerminalOwner& owner_;
  bool locked_ = false;
  bool dropped_ = false;
};

TerminalOwner::TerminalOwner(std::ostream& screen, TerminalSizeSource size)
    : screen_(screen), size_(std::move(size)) {}

TerminalOwner::~TerminalOwner() { Settle(); }

TerminalOwner::RowId TerminalOwner::AddRow() {
  const Hold hold(*this);
  rows_[next_];
  return next_++;
}

void TerminalOwner::UpdateRow(RowId row, const LiveRow& shown) { ShowRow(row, shown, false); }

void TerminalOwner::FinishRow(RowId row, const LiveRow& shown) { ShowRow(row, shown, true); }

void TerminalOwner::ShowRow(RowId row, const LiveRow& shown, bool finished) {
  const Hold hold(*this);
  if (hold.dropped()) return;
  const auto found = rows_.find(row);
  if (found == rows_.end() || found->second.finished) return;
  found->second.shown = shown;
  // A finished row with no outcome would be counted as still at work.
  if (finished && found->second.shown.outcome.empty()) found->second.shown.outcome = "ended";
  found->second.updated = true;
  found->second.finished = finished;
  RedrawSoonLocked();
}

void TerminalOwner::OnTick(std::function<void()> tick) {
  {
    const Hold hold(*this);
    if (!thread_.joinable()) {
      tick_ = std::move(tick);
      return;
    }
  }
  // The drawing thread calls the tick outside the lock: it is replaced only
  // while no thread draws.
  StopThread();
  const Hold hold(*this);
  tick_ = std::move(tick);
  StartLocked();
}

void TerminalOwner::Wake() {
  const Hold hold(*this);
  if (hold.dropped()) return;
  RedrawSoonLocked();
}

void TerminalOwner::RedrawSoonLocked() {
  StartLocked();
  dirty_ = true;
  wake_.notify_one();
}

void TerminalOwner::Settle() {
  StopThread();
  // The last tick, so that the rows tell where their drives got.
  std::function<void()> tick;
  {
    const Hold hold(*this);
    tick = std::move(tick_);
    tick_ = nullptr;
  }
  if (tick) tick();
  const Hold hold(*this);
  if (DrawingLocked() && paused_ == 0) DrawLocked();
  drawn_ = 0;
  rows_.clear();
  partial_ = false;
}

void TerminalOwner::Line(std::ostream& to, const std::string& line) { Text(to, line + '\n'); }

void TerminalOwner::Text(std::ostream& to, const std::string& text) { Write(to, text, false); }

void TerminalOwner::LastWord(std::ostream& to, const std::string& text) { Write(to, text, true); }

TerminalOwner::HeldTextId TerminalOwner::HoldText(std::ostream& to, std::string text) {
  const Hold hold(*this);
  held_[nextHeld_] = {&to, std::move(text)};
  return nextHeld_++;
}

void TerminalOwner::ShowHeldText(HeldTextId id) {
  const Hold hold(*this);
  const auto found = held_.find(id);
  if (found == held_.end()) return;
  const HeldText held = std::move(found->second);
  held_.erase(found);
  // Once the last word came it was paid already, and is not written again.
  if (!hold.dropped()) WriteLocked(*held.to, held.text);
}

void TerminalOwner::ShowAllHeldText() {
  const Hold hold(*this, true);
  for (const auto& [id, held] : held_) WriteLocked(*held.to, held.text);
  held_.clear();
}

void TerminalOwner::Write(std::ostream& to, const std::string& text, bool lastWord) {
  const Hold hold(*this, lastWord);
  if (hold.dropped()) return;
  WriteLocked(to, text);
}

void TerminalOwner::WriteLocked(std::ostream& to, const std::string& text) {
  if (partial_) {
    // The answer's line end came from the terminal; the rows come back
    // below this text.
    partial_ = false;
  } else {
    EraseLocked();
    // The cursor stands at the start of a line of its own, where only the
    // terminal's echo of a key (^C) can have put anything: gone, it shares
    // no line with this text.
    if (size_ && size_()) screen_ << "\r\x1b[2K" << std::flush;
  }
  to << text << std::flush;
  if (paused_ == 0) DrawLocked();
}

void TerminalOwner::Partial(std::ostream& to, const std::string& text) {
  const Hold hold(*this);
  if (hold.dropped()) return;
  EraseLocked();
  to << text << std::flush;
  partial_ = true;
}

TerminalOwner::Pause::Pause(TerminalOwner* owner) : owner_(owner) {
  const Hold hold(*owner_);
  owner_->EraseLocked();
  ++owner_->paused_;
}

TerminalOwner::Pause::~Pause() {
  const Hold hold(*owner_);
  --owner_->paused_;
  // The answer ended its line: the rows go below it.
  owner_->partial_ = false;
  owner_->drawn_ = 0;
  if (owner_->paused_ == 0) owner_->DrawLocked();
}

size_t TerminalOwner::Columns() const {
  const std::optional<platform::TerminalSize> size = size_ ? size_() : std::nullopt;
  return size && size->columns > 0 ? static_cast<size_t>(size->columns) : 0;
}

void TerminalOwner::StopOtherWriters() {
  if (frozen_ || closing_.exchange(true)) return;
  // The last tick, on this thread: every row is finished with what its
  // drive came to, so that none is left mid-step above the last word.
  StopThread();
  std::function<void()> tick;
  {
    const Hold hold(*this);
    tick = tick_;
  }
  if (tick) tick();
  const Hold hold(*this);
  // From here on what other threads write is dropped.
  frozenBy_ = std::this_thread::get_id();
  frozen_ = true;
  stopping_ = true;
  wake_.notify_one();
  // A question waits on its line, where the terminal may have echoed the
  // interrupt: the rows and the last word go below it.
  if (partial_ && size_ && size_()) screen_ << '\n' << std::flush;
  partial_ = false;
  // What the run earned is shown, above the rows.
  for (const auto& [id, held] : held_) WriteLocked(*held.to, held.text);
  held_.clear();
  if (paused_ == 0) DrawLocked();
  // The rows stay as they were drawn now, and the last word goes below.
  drawn_ = 0;
  rows_.clear();
}

bool TerminalOwner::DrawingLocked() const {
  if (!size_) return false;
  for (const auto& [id, row] : rows_) {
    if (row.updated) return true;
  }
  return false;
}

void TerminalOwner::EraseLocked() {
  if (drawn_ == 0) return;
  // Back to the first line of the last drawing, each of its lines erased
  // on the way. Not by erasing the screen below: from its top-left corner
  // that clears the whole screen, which some terminals (tmux) first keep in
  // their history, where the rows would then show twice.
  const std::string up = "\x1b[" + std::to_string(drawn_) + "A";
  std::string erase = up;
  for (size_t i = 0; i < drawn_; ++i) erase += "\r\x1b[2K\n";
  screen_ << erase << up << std::flush;
  drawn_ = 0;
}

void TerminalOwner::DrawLocked() {
  dirty_ = false;
  if (partial_ || paused_ > 0 || !DrawingLocked()) return;
  const std::optional<platform::TerminalSize> size = size_();
  if (!size) return;  // no terminal (any more): nothing is drawn
  std::vector<LiveRow> rows;
  for (const auto& [id, row] : rows_) {
    if (row.updated) rows.push_back(row.shown);
  }
  const size_t columns = size->columns > 0 ? static_cast<size_t>(size->columns) : 80;
  // One line stays for the cursor, so that the rows never scroll themselves.
  const size_t lines = size->lines > 1 ? static_cast<size_t>(size->lines) - 1 : 0;
  const std::vector<std::string> text = LiveTableLines(rows, columns, lines);
  std::string frame;
  if (drawn_ > 0) frame += "\x1b[" + std::to_string(drawn_) + "A";
  for (const std::string& line : text) frame += "\r\x1b[2K" + line + "\n";
  frame += "\x1b[J";  // a drawing of fewer lines leaves none of the last one
  screen_ << frame << std::flush;
  drawn_ = text.size();
}

void TerminalOwner::StartLocked() {
  if (thread_.joinable() || !size_ || frozen_ || closing_) return;
  stopping_ = false;
  thread_ = std::thread([this] { Loop(); });
}

void TerminalOwner::StopThread() {
  std::thread thread;
  {
    const Hold hold(*this);
    stopping_ = true;
    wake_.notify_one();
    thread = std::move(thread_);
  }
  if (thread.joinable()) thread.join();
}

void TerminalOwner::Loop() {
  using namespace std::chrono_literals;
  std::unique_lock<std::timed_mutex> lock(mutex_);
  while (!stopping_) {
    // Drawn on a change, at most ten times a second, and at least twice a
    // second while a drive's seconds run.
    wake_.wait_for(lock, 500ms, [this] { return stopping_ || dirty_; });
    if (stopping_) break;
    if (tick_) {
      const std::function<void()> tick = tick_;
      lock.unlock();
      tick();
      lock.lock();
      if (stopping_) break;
    }
    DrawLocked();
    wake_.wait_for(lock, 100ms, [this] { return stopping_; });
  }
}

OwnedStream::OwnedStream(TerminalOwner& owner, std::ostream& to, std::string prefix)
    : session::LineStream(nullptr), lines_(owner, to, std::move(prefix)) {
  rdbuf(&lines_);
}

OwnedStream::~OwnedStream() { Finish(); }

void OwnedStream::Finish() {
  const std::lock_guard<std::mutex> lock(lines_.mutex);
  if (lines_.line.empty()) return;
  lines_.owner.Line(lines_.to, lines_.prefix + lines_.line);
  lines_.line.clear();
}

OwnedStream::Lines::int_type OwnedStream::Lines::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const std::lock_guard<std::mutex> lock(mutex);
  Put(traits_type::to_char_type(c));
  return c;
}

std::streamsize OwnedStream::Lines::xsputn(const char* text, std::streamsize count) {
  const std::lock_guard<std::mutex> lock(mutex);
  for (std::streamsize i = 0; i < count; ++i) Put(text[i]);
  return count;
}

int OwnedStream::Lines::sync() {
  const std::lock_guard<std::mutex> lock(mutex);
  if (!line.empty()) {
    owner.Partial(to, prefix + line);
    line.clear();
  }
  return 0;
}

void OwnedStream::Lines::Put(char c) {
  if (c == '\n') {
    owner.Line(to, prefix + line);
    line.clear();
  } else if (c != '\r') {  // debug texts end in CR LF
    line.push_back(c);
  }
}

TerminalOwner* OwnerOf(std::ostream& stream) {
  auto* owned = dynamic_cast<OwnedStream*>(&stream);
  return owned != nullptr ? &owned->owner() : nullptr;
}

}  // namespace kestrune::console
