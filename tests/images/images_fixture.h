// The program the image tests run: a host platform over a fresh temporary
// folder and scripted drives behind the link.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "device/link.h"
#include "base/program.h"
#include "images/images.h"
#include "log/isp_log.h"
#include "tests/support/device_test_link.h"
#include "tests/support/images_test_platform.h"
#include "tests/support/recording_view.h"
#include "tests/support/scripted_transport.h"

namespace kestrune {

class ImagesTest : public ::testing::Test {
 protected:
  // A path inside the work folder, e.g. Work("\\CAUS.BIN").
  std::string Work(const std::string& rest) const { return platform.tempText() + rest; }

  testing::ImagesTestPlatform platform;
  testing::ScriptedVolumes volumes;
  testing::TestLink link{volumes};
  IspLog log{platform};
  testing::RecordingView view;
  Program p{platform, link, log, view};
};

}  // namespace kestrune
