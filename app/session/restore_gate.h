// The one question of a restore on every drive of --all. A restore's save
// is known only once its stick has been scanned, so each drive's job goes
// as far as its own question and waits there with the save it will write;
// once every job has come or gone, the run lists each drive with its save,
// asks once, and the answer goes to every job that waits.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrune::session {

class RestoreGate {
 public:
  // A job that will run: it comes to the question or leaves without it.
  void Expect(char letter) {
    const std::lock_guard<std::mutex> lock(mutex_);
    pending_.insert(letter);
  }
  // A job's question, with the save it will write: waits for the run's
  // answer; true for OK.
  bool Arrive(char letter, const std::string& save) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.emplace_back(letter, save);
    pending_.erase(letter);
    changed_.notify_all();
    changed_.wait(lock, [this] { return answer_.has_value(); });
    return *answer_;
  }
  // A job is over: when it never came to the question, nobody waits for it.
  void Leave(char letter) {
    const std::lock_guard<std::mutex> lock(mutex_);
    pending_.erase(letter);
    changed_.notify_all();
  }
  // Waits until every job expected has come or left; those that came,
  // each with its save, in the order they came.
  std::vector<std::pair<char, std::string>> Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return pending_.empty(); });
    return arrived_;
  }
  // The first answer stands.
  void Answer(bool ok) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!answer_) answer_ = ok;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<char> pending_;
  std::vector<std::pair<char, std::string>> arrived_;
  std::optional<bool> answer_;
};

}  // namespace kestrune::session
