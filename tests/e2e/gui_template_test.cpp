// Checks the resources compiled into kestrune.exe: the main dialog and About
// templates, string 101, the icon, the manifest and the version. The test
// program sits beside kestrune.exe in the build folder and loads it as data.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/win32/win32_view.h"
#include "resources/resource.h"

namespace {

// Predefined control classes, as templates name them by ordinal.
constexpr uint16_t kButtonClass = 0x0080;
constexpr uint16_t kEditClass = 0x0081;
constexpr uint16_t kStaticClass = 0x0082;
constexpr uint16_t kComboBoxClass = 0x0085;

// A name-or-ordinal field of a template.
struct NameOrOrdinal {
  std::optional<uint16_t> ordinal;
  std::string text;
};

struct TemplateItem {
  uint32_t style = 0;
  uint32_t exStyle = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  int32_t id = 0;
  NameOrOrdinal windowClass;
  NameOrOrdinal title;
};

struct DialogTemplate {
  bool extended = false;
  uint32_t style = 0;
  uint32_t exStyle = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  std::string caption;
  uint16_t pointSize = 0;
  std::string typeface;
  std::vector<TemplateItem> items;
};

// Reads a template with every access checked against its size.
class TemplateReader {
 public:
  TemplateReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool ok() const { return ok_; }
  uint16_t Word() {
    uint16_t value = 0;
    Copy(&value, sizeof(value));
    return value;
  }
  uint32_t Dword() {
    uint32_t value = 0;
    Copy(&value, sizeof(value));
    return value;
  }
  int16_t Short() { return static_cast<int16_t>(Word()); }
  void Align(size_t to) {
    size_t aligned = (offset_ + to - 1) / to * to;
    if (aligned > size_) ok_ = false;
    offset_ = aligned < size_ ? aligned : size_;
  }
  void Skip(size_t count) {
    if (count > size_ - offset_) {
      ok_ = false;
      offset_ = size_;
    } else {
      offset_ += count;
    }
  }
  // UTF-16 text up to its NUL, kept as ASCII (the program's texts are).
  std::string Text() {
    std::string text;
    for (;;) {
      uint16_t c = Word();
      if (!ok_ || c == 0) return text;
      text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
  }
  NameOrOrdinal Name() {
    NameOrOrdinal name;
    uint16_t first = Word();
    if (first == 0xFFFF) {
      name.ordinal = Word();
    } else if (first != 0) {
      name.text.push_back(first < 0x80 ? static_cast<char>(first) : '?');
      name.text += Text();
    }
    return name;
  }

 private:
  void Copy(void* out, size_t count) {
    if (!ok_ || count > size_ - offset_) {
      ok_ = false;
      return;
    }
    std::memcpy(out, data_ + offset_, count);
    offset_ += count;
  }

  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
  bool ok_ = true;
};

std::optional<DialogTemplate> ParseDialogTemplate(const uint8_t* data, size_t size) {
  TemplateReader reader(data, size);
  DialogTemplate dialog;
  uint16_t version = reader.Word();
  uint16_t signature = reader.Word();
  dialog.extended = version == 1 && signature == 0xFFFF;
  uint16_t count = 0;
  if (dialog.extended) {
    reader.Dword();  // help id
    dialog.exStyle = reader.Dword();
    dialog.style = reader.Dword();
  } else {
    dialog.style = static_cast<uint32_t>(version) | (static_cast<uint32_t>(signature) << 16);
    dialog.exStyle = reader.Dword();
  }
  count = reader.Word();
  dialog.x = reader.Short();
  dialog.y = reader.Short();
  dialog.cx = reader.Short();
  dialog.cy = reader.Short();
  reader.Name();  // menu
  reader.Name();  // window class
  dialog.caption = reader.Text();
  if (dialog.style & (DS_SETFONT | DS_SHELLFONT)) {
    dialog.pointSize = reader.Word();
    if (dialog.extended) {
      reader.Word();  // weight
      reader.Word();  // italic, character set
    }
    dialog.typeface = reader.Text();
  }
  for (uint16_t i = 0; i < count && reader.ok(); ++i) {
    reader.Align(4);
    TemplateItem item;
    if (dialog.extended) {
      reader.Dword();  // help id
      item.exStyle = reader.Dword();
      item.style = reader.Dword();
    } else {
      item.style = reader.Dword();
      item.exStyle = reader.Dword();
    }
    item.x = reader.Short();
    item.y = reader.Short();
    item.cx = reader.Short();
    item.cy = reader.Short();
    item.id = dialog.extended ? static_cast<int32_t>(reader.Dword())
                              : static_cast<int16_t>(reader.Word());
    item.windowClass = reader.Name();
    item.title = reader.Name();
    reader.Skip(reader.Word());  // creation data
    dialog.items.push_back(item);
  }
  if (!reader.ok()) return std::nullopt;
  return dialog;
}

std::string ModuleFolder() {
  char path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  size_t slash = folder.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

class ProgramResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    path_ = ModuleFolder() + "kestrune.exe";
    module_ = LoadLibraryExA(path_.c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  }
  static void TearDownTestSuite() {
    if (module_) FreeLibrary(module_);
    module_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(module_, nullptr) << "cannot load " << path_; }

  static std::vector<uint8_t> Resource(LPCSTR type, uint16_t id) {
    HRSRC found = FindResourceA(module_, MAKEINTRESOURCEA(id), type);
    if (!found) return {};
    HGLOBAL loaded = LoadResource(module_, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    DWORD size = SizeofResource(module_, found);
    if (!bytes) return {};
    const auto* first = static_cast<const uint8_t*>(bytes);
    return std::vector<uint8_t>(first, first + size);
  }
  static std::optional<DialogTemplate> Dialog(uint16_t id) {
    std::vector<uint8_t> bytes = Resource(RT_DIALOG, id);
    if (bytes.empty()) return std::nullopt;
    return ParseDialogTemplate(bytes.data(), bytes.size());
  }

  static inline std::string path_;
  static inline HMODULE module_ = nullptr;
};

TEST_F(ProgramResources, MainDialogFrame) {
  std::optional<DialogTemplate> dialog = Dialog(IDD_KESTRUNE_DIALOG);
  ASSERT_TRUE(dialog.has_value());
  EXPECT_EQ(dialog->caption, "Kestrune v1.0.0.7");
  EXPECT_EQ(dialog->typeface, "MS Shell Dlg");
  EXPECT_EQ(dialog->pointSize, 8);
  EXPECT_EQ(dialog->cx, 260);
  EXPECT_EQ(dialog->cy, 57);
  const uint32_t frame = DS_MODALFRAME | WS_CAPTION | WS_SYSMENU | DS_CENTER;
  EXPECT_EQ(dialog->style & frame, frame);
  EXPECT_FALSE(dialog->style & WS_CHILD);
  EXPECT_TRUE(dialog->exStyle & WS_EX_APPWINDOW);
  EXPECT_EQ(dialog->items.size(), 9u);
}

struct ControlRow {
  int32_t id;
  uint16_t windowClass;
  const char* caption;
  int16_t x, y, cx, cy;
  // Bits that must be set, and the type field of statics and buttons.
  uint32_t styleBits;
  uint32_t typeMask;
  uint32_t type;
  bool visible;
};

// The controls in their tab order.
constexpr ControlRow kMainControls[] = {
    {-1, kStaticClass, "Drive Volume", 7, 7, 42, 8, 0, SS_TYPEMASK, SS_LEFT, true},
    {IDC_DRIVE_LIST, kComboBoxClass, "", 7, 17, 245, 32, CBS_SORT | WS_VSCROLL, 0x3,
     CBS_DROPDOWNLIST, true},
    {IDC_STATUS, kStaticClass, "Static", 8, 35, 79, 8, 0, SS_TYPEMASK, SS_LEFT, true},
    {IDC_DESTROY_ISP, kButtonClass, "Destory ISP", 91, 36, 50, 14, 0, BS_TYPEMASK, BS_PUSHBUTTON,
     true},
    {IDC_CHECK_ISP, kButtonClass, "Check ISP", 149, 36, 50, 14, 0, BS_TYPEMASK, BS_PUSHBUTTON,
     false},
    {IDC_START_FIX, kButtonClass, "Start Fix", 203, 36, 50, 14, 0, BS_TYPEMASK, BS_PUSHBUTTON,
     true},
    {-1, kStaticClass, "Bin File", 62, 4, 23, 8, 0, SS_TYPEMASK, SS_LEFT, false},
    {IDC_IMAGE_PATH, kEditClass, "", 89, 2, 32, 14, ES_READONLY | ES_AUTOHSCROLL | WS_BORDER, 0, 0,
     false},
    {IDC_BROWSE, kButtonClass, "", 121, 2, 17, 14, 0, BS_TYPEMASK, BS_PUSHBUTTON, false},
};

class MainDialogControl : public ProgramResources, public ::testing::WithParamInterface<size_t> {};

TEST_P(MainDialogControl, MatchesItsRow) {
  const ControlRow& row = kMainControls[GetParam()];
  std::optional<DialogTemplate> dialog = Dialog(IDD_KESTRUNE_DIALOG);
  ASSERT_TRUE(dialog.has_value());
  ASSERT_LT(GetParam(), dialog->items.size());
  const TemplateItem& item = dialog->items[GetParam()];
  // Template ids are 16 bits wide in the classic form: -1 reads 0xFFFF.
  EXPECT_EQ(static_cast<int16_t>(item.id), row.id);
  ASSERT_TRUE(item.windowClass.ordinal.has_value());
  EXPECT_EQ(*item.windowClass.ordinal, row.windowClass);
  EXPECT_FALSE(item.title.ordinal.has_value());
  EXPECT_EQ(item.title.text, row.caption);
  EXPECT_EQ(item.x, row.x);
  EXPECT_EQ(item.y, row.y);
  EXPECT_EQ(item.cx, row.cx);
  EXPECT_EQ(item.cy, row.cy);
  EXPECT_EQ(item.style & row.styleBits, row.styleBits);
  EXPECT_EQ(item.style & row.typeMask, row.type);
  EXPECT_TRUE(item.style & WS_CHILD);
  EXPECT_EQ((item.style & WS_VISIBLE) != 0, row.visible);
}

INSTANTIATE_TEST_SUITE_P(TabOrder, MainDialogControl,
                         ::testing::Range<size_t>(0, std::size(kMainControls)));

TEST_F(ProgramResources, AboutBox) {
  std::optional<DialogTemplate> about = Dialog(IDD_ABOUTBOX);
  ASSERT_TRUE(about.has_value());
  EXPECT_EQ(about->caption, "About Kestrune");
  EXPECT_TRUE(about->style & WS_CAPTION);
  bool icon = false, version = false, ok = false;
  int otherLines = 0;
  for (const TemplateItem& item : about->items) {
    if (!item.windowClass.ordinal) continue;
    if (*item.windowClass.ordinal == kStaticClass && (item.style & SS_TYPEMASK) == SS_ICON) {
      icon = item.title.ordinal == std::optional<uint16_t>(IDR_MAINFRAME);
    } else if (*item.windowClass.ordinal == kStaticClass) {
      if (item.title.text == "Kestrune Version 1.0.0.3") {
        version = true;
      } else if (!item.title.text.empty()) {
        ++otherLines;
      }
    } else if (*item.windowClass.ordinal == kButtonClass && item.id == IDOK) {
      ok = item.title.text == "OK";
    }
  }
  EXPECT_TRUE(icon);
  EXPECT_TRUE(version);
  EXPECT_EQ(otherLines, 1);
  EXPECT_TRUE(ok);
}

TEST_F(ProgramResources, AboutMenuStringAndIcon) {
  char text[64] = {};
  ASSERT_GT(LoadStringA(module_, IDS_ABOUTBOX, text, sizeof(text)), 0);
  EXPECT_STREQ(text, "&About Kestrune...");

  // The icon group holds the two sizes the dialog asks for.
  std::vector<uint8_t> group = Resource(RT_GROUP_ICON, IDR_MAINFRAME);
  ASSERT_GE(group.size(), 6u);
  uint16_t count = static_cast<uint16_t>(group[4] | (group[5] << 8));
  ASSERT_EQ(group.size(), 6u + 14u * count);
  std::vector<int> widths;
  for (uint16_t i = 0; i < count; ++i) widths.push_back(group[6 + 14 * i]);
  EXPECT_EQ(widths, (std::vector<int>{16, 32}));
}

TEST_F(ProgramResources, ManifestAsksForAdministratorAndCommonControls6) {
  std::vector<uint8_t> bytes = Resource(RT_MANIFEST, 1);
  std::string manifest(bytes.begin(), bytes.end());
  EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
}

TEST_F(ProgramResources, VersionIs1007) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path_.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(path_.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000007u);

  // The file's properties name the licence the program is given under.
  char* copyright = nullptr;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904b0\\LegalCopyright",
                             reinterpret_cast<void**>(&copyright), &length));
  ASSERT_NE(copyright, nullptr);
  EXPECT_NE(std::string(copyright).find("MIT License"), std::string::npos) << copyright;
}

TEST(OpenFileFilter, BarsBecomeNulsAndTheListEndsInTwo) {
  using kestrune::win32::ToOpenFileFilter;
  const std::string filter = ToOpenFileFilter("FW Files (*.bin)|*.bin|*.*||");
  EXPECT_EQ(filter, std::string("FW Files (*.bin)\0*.bin\0*.*\0\0\0\0", 30));
  // A text without its closing bars still ends the list.
  EXPECT_EQ(ToOpenFileFilter("A|*.a"), std::string("A\0*.a\0\0", 7));
}

}  // namespace
