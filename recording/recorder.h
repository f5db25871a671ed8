// A recording decorator: every open and every command that passes through
// an opener's volumes is written to a recording (recording/recording.h), one
// file for all letters or one for each.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/transport.h"
#include "recording/recording.h"

namespace kestrune::device {

class RecordingVolumes : public VolumeOpener {
 public:
  // What the system says of the drive behind a letter, asked once, at its
  // first successful open. The USB serial and whether the letter reaches a
  // real device are filled in from `inner` where it leaves them out.
  using DescribeDrive = std::function<DriveFacts(char letter)>;

  RecordingVolumes(VolumeOpener& inner, DescribeDrive describe);

  // The writer of every letter without one of its own.
  void RecordAll(std::shared_ptr<RecordingWriter> writer) { all_ = std::move(writer); }
  // The writer of one letter. Set before any open: the map is read by the
  // threads of several drives at once.
  void RecordLetter(char letter, std::shared_ptr<RecordingWriter> writer) {
    letters_[letter] = std::move(writer);
  }

  OpenResult Open(char letter) override;
  bool NeedsPrivilege() const override { return inner_.NeedsPrivilege(); }
  bool ServesRealDevice(char letter) const override { return inner_.ServesRealDevice(letter); }
  std::string UsbSerial(char letter) const override { return inner_.UsbSerial(letter); }
  std::string UsbPort(char letter) const override { return inner_.UsbPort(letter); }
  std::string ReplayOf(char letter) const override { return inner_.ReplayOf(letter); }
  std::pair<std::string, std::string> ExportedFrom(char letter) const override {
    return inner_.ExportedFrom(letter);
  }

  // Writes each file's end marker. Returns why each file that failed
  // stopped; empty when every one is whole.
  std::vector<std::string> Finish();

 private:
  RecordingWriter* WriterOf(char letter) const;

  VolumeOpener& inner_;
  DescribeDrive describe_;
  std::shared_ptr<RecordingWriter> all_;
  std::map<char, std::shared_ptr<RecordingWriter>> letters_;
  std::mutex mutex_;
  std::set<char> described_;
};

}  // namespace kestrune::device
