// kestrune map and --map as a technician meets them: the picture kept in
// the C: folder, that an SVG reader and a renderer accept, with one mark
// per copy in the state the run learned; the terminal's rendition; and a
// drive that map leaves exactly as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/console/console_options.h"
#include "app/console/console_run.h"
#include "app/settings.h"
#include "tests/support/child_process.h"
#include "tests/support/console_harness.h"
#include "tests/support/console_runner.h"
#include "tests/support/device_temp_folder.h"

namespace kestrune::console {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The marks the picture lists: each one's kind and state, by kind.
std::multimap<std::string, std::string> Marks(const std::string& svg) {
  static const std::regex mark(
      "<g class=\"mark\" data-kind=\"([a-z]+)\" data-copy=\"[0-9]\" data-state=\"([a-z]+)\"");
  std::multimap<std::string, std::string> marks;
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), mark); it != std::sregex_iterator();
       ++it) {
    marks.emplace((*it)[1], (*it)[2]);
  }
  return marks;
}

bool Tool(const std::string& path) { return fs::exists(path); }

class ConsoleMap : public testing::ConsoleHarness {
 protected:
  fs::path cDrive() const { return CFolder(); }
  fs::path temp() const { return WorkFolder(); }
  fs::path Picture() const { return cDrive() / "ISP_Map.svg"; }

  // A copy of a ready-made drive on E:, with `changes` merged in.
  void AddDrive(const std::string& name, const json& changes = json::object()) {
    AddDriveOn('E', name + ".json", nullptr, changes);
  }

  // `terminal`: the output counts as a terminal, which may be shown colours.
  testing::ConsoleResult Run(const std::vector<std::string>& arguments, bool terminal = false) {
    return RunHere(arguments, "", {.output = terminal});
  }

  // Every file of the drive beside the C: folder, by name, with its bytes.
  std::map<std::string, std::string> DriveFiles() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder.path())) {
      if (entry.is_regular_file()) files[entry.path().filename()] = ReadAll(entry.path());
    }
    return files;
  }
};

struct MapCase {
  const char* name;
  const char* drive;
  std::vector<std::string> arguments;
  int ispCopies;
  int auxAreas;
  const char* state;  // of every copy's areas
  bool readOnly;
  // Run first, in the same folders.
  std::vector<std::string> before = {"scan"};
};

class ConsoleMapCase : public ConsoleMap, public ::testing::WithParamInterface<MapCase> {};

TEST_P(ConsoleMapCase, KeepsAPictureOfEveryCopy) {
  const MapCase& c = GetParam();
  AddDrive(c.drive);
  ASSERT_EQ(Run(c.before).code, kExitDone);
  const auto before = DriveFiles();

  const testing::ConsoleResult r = Run(c.arguments);
  ASSERT_EQ(r.code, kExitDone) << r.err;
  const std::string svg = ReadAll(Picture());
  // The picture names the drive as the list did, capacity and all, also
  // after a fix has read the capacity again.
  const size_t title = svg.find("<title>");
  ASSERT_NE(title, std::string::npos) << svg;
  const std::string named = svg.substr(title + 7, svg.find("</title>") - title - 7);
  EXPECT_NE(r.out.find("Drive Volume " + named + "\n"), std::string::npos)
      << named << " is not the list's line:\n"
      << r.out;
  const auto marks = Marks(svg);
  EXPECT_EQ(marks.count("cis"), static_cast<size_t>(c.ispCopies)) << svg;
  EXPECT_EQ(marks.count("isp"), static_cast<size_t>(c.ispCopies)) << svg;
  EXPECT_EQ(marks.count("aux"), static_cast<size_t>(c.auxAreas)) << svg;
  for (const auto& [kind, state] : marks) {
    EXPECT_EQ(state, kind == "cis" ? "unchecked" : c.state) << kind;
  }
  if (c.readOnly) {
    EXPECT_EQ(DriveFiles(), before) << "the drive changed";
  }

  const fs::path png = folder.path() / "map.png";
  const testing::ChildRun parse = testing::RunChild(
      {"/usr/bin/python3", "-c", "import sys, xml.etree.ElementTree as t; t.parse(sys.argv[1])",
       Picture().string()});
  EXPECT_TRUE(parse.exited && parse.code == 0) << parse.Describe();
  if (!Tool("/usr/bin/rsvg-convert")) GTEST_SKIP() << "rsvg-convert (librsvg2-bin) is missing";
  const testing::ChildRun render =
      testing::RunChild({"/usr/bin/rsvg-convert", "-o", png.string(), Picture().string()});
  ASSERT_TRUE(render.exited && render.code == 0) << render.Describe();
  EXPECT_EQ(ReadAll(png).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

INSTANTIATE_TEST_SUITE_P(
    Drives, ConsoleMapCase,
    ::testing::Values(
        // A healthy drive may run another image than a fix would write.
        MapCase{"healthy", "ctrl163_healthy", {"map"}, 2, 0, "differs", true},
        MapCase{"broken", "ctrl163_broken", {"map"}, 2, 0, "differs", true},
        MapCase{"aux190", "ctrl190_broken", {"map"}, 2, 2, "differs", true},
        MapCase{"fixed", "ctrl165_broken", {"map"}, 3, 0, "matches", true, {"--yes", "fix"}},
        MapCase{"scan", "ctrl165_broken", {"--map", "scan"}, 3, 0, "differs", true},
        MapCase{"fix", "ctrl163_broken", {"--yes", "--map", "fix"}, 2, 0, "verified", false},
        MapCase{"fix190", "ctrl190_broken", {"--yes", "--map", "fix"}, 2, 2, "verified", false}),
    [](const auto& info) { return std::string(info.param.name); });

// Drive texts reach the picture as text, never as markup.
TEST_F(ConsoleMap, DriveTextsAreEscaped) {
  AddDrive("ctrl163_broken", {{"codeMarks", {{"vendor", "<a&\"b'>"}, {"product", "]]><x>\x01"}}}});
  ASSERT_EQ(Run({"map"}).code, kExitDone);
  const std::string svg = ReadAll(Picture());
  EXPECT_NE(svg.find("&lt;a&amp;&quot;b&apos;&gt; ]]&gt;&lt;x&gt;?"), std::string::npos) << svg;
  EXPECT_EQ(svg.find("<x>"), std::string::npos);
  const testing::ChildRun parse = testing::RunChild(
      {"/usr/bin/python3", "-c", "import sys, xml.etree.ElementTree as t; t.parse(sys.argv[1])",
       Picture().string()});
  EXPECT_TRUE(parse.exited && parse.code == 0) << parse.Describe();
}

// One character per block, coloured on a terminal only.
TEST_F(ConsoleMap, PrintsTheBlocksOnStdout) {
  AddDrive("ctrl163_broken");
  const testing::ConsoleResult plain = Run({"map"});
  EXPECT_NE(plain.out.find("       0 ..CI.CI" + std::string(57, '.') + "\n"), std::string::npos)
      << plain.out;
  EXPECT_NE(plain.out.find("  ISP copy 1: block 6, differs from the image\n"), std::string::npos);
  EXPECT_EQ(plain.out.find('\033'), std::string::npos);
  const testing::ConsoleResult coloured = Run({"map"}, true);
  EXPECT_NE(coloured.out.find("\033[31mI"), std::string::npos) << coloured.out;
  // A document is all --json prints.
  const std::string document = Run({"--json", "map"}).out;
  EXPECT_TRUE(json::accept(document)) << document;
}

}  // namespace
}  // namespace kestrune::console
