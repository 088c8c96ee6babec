// moduleResourcesTest.cpp -- the resources as a host finds them in the built brisel.8bf
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "resources/filterParameters.h"
#include "resources/pluginProperties.h"
#include "resources/resourceIds.h"
#include "resources/scriptingTerminology.h"
#include "tests/resources/resourceExpectations.h"
#include "tests/resources/resourceReaders.h"

#ifndef BRISEL_MODULE_FILE_NAME
#error "BRISEL_MODULE_FILE_NAME must be defined by the build"
#endif

namespace {

const WORD kUsEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// The module is built beside the test executables.
std::string modulePath() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string directory(path, length);
  directory.erase(directory.find_last_of("\\/") + 1);
  return directory + BRISEL_MODULE_FILE_NAME;
}

BOOL CALLBACK collectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR languages) {
  reinterpret_cast<std::vector<WORD>*>(languages)->push_back(language);
  return TRUE;
}

std::vector<uint8_t> buildBytes(OSErr (*build)(uint8_t*, int32_t, int32_t*)) {
  int32_t length = 0;
  build(nullptr, 0, &length);
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  EXPECT_EQ(build(bytes.data(), length, &length), 0);
  return bytes;
}

class ModuleResourcesTest : public ::testing::Test {
 protected:
  // Loaded as data, as a host does to read a plug-in's property list: no code runs.
  static void SetUpTestSuite() {
    module_ = LoadLibraryExA(modulePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  }
  static void TearDownTestSuite() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(module_, nullptr) << "cannot load " << modulePath(); }

  static std::vector<uint8_t> loadResource(LPCSTR type, int32_t id) {
    HRSRC found = FindResourceExA(module_, type, MAKEINTRESOURCEA(id), kUsEnglish);
    if (found == nullptr) return std::vector<uint8_t>();
    HGLOBAL loaded = LoadResource(module_, found);
    const uint8_t* bytes = static_cast<const uint8_t*>(LockResource(loaded));
    if (bytes == nullptr) return std::vector<uint8_t>();
    return std::vector<uint8_t>(bytes, bytes + SizeofResource(module_, found));
  }

  static std::vector<WORD> languagesOf(LPCSTR type, int32_t id) {
    std::vector<WORD> languages;
    EnumResourceLanguagesA(module_, type, MAKEINTRESOURCEA(id), collectLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    return languages;
  }

  static HMODULE module_;
};

HMODULE ModuleResourcesTest::module_ = nullptr;

TEST_F(ModuleResourcesTest, EveryResourceIsStoredInUsEnglishOnly) {
  EXPECT_EQ(kResourceLanguageId, 1033);
  const std::vector<WORD> usEnglish = {kUsEnglish};
  EXPECT_EQ(languagesOf("PIPL", kPropertyListId), usEnglish);
  EXPECT_EQ(languagesOf("AETE", kTerminologyId), usEnglish);
  EXPECT_EQ(languagesOf(MAKEINTRESOURCEA(5) /* RT_DIALOG */, kDialogTemplateId), usEnglish);
}

// A 64-bit host looks for 8664 and a 32-bit one for wx86; carrying the other
// machine's key as well would let a host try to call code it cannot run.
TEST_F(ModuleResourcesTest, PropertyListIsThePublishedListForThisMachine) {
  const bool sixtyFourBit = sizeof(void*) == 8;
  const std::vector<uint8_t> stored = loadResource("PIPL", 16000);
  expectPublishedPropertyList(stored, sixtyFourBit ? "8664" : "wx86");
  EXPECT_EQ(stored, buildBytes(buildPluginProperties)) << "the resource is what the tables build";

  const PropertyList list = readPropertyList(stored);
  int ownKeys = 0;
  for (const PropertyRecord& property : list.properties) {
    EXPECT_NE(property.key, sixtyFourBit ? "wx86" : "8664");
    if (property.key == (sixtyFourBit ? "8664" : "wx86")) ++ownKeys;
  }
  EXPECT_EQ(ownKeys, 1);
}

std::string versionString(const std::vector<char>& info, const char* name) {
  char* value = nullptr;
  UINT length = 0;
  const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) ||
      value == nullptr) {
    return "(missing)";
  }
  return std::string(value, strnlen(value, length));
}

// Read as Windows' file properties read it, from the file on disk.
TEST_F(ModuleResourcesTest, VersionResourceNamesTheProductAndItsVersion) {
  const std::string path = modulePath();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version resource in " << path;
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));

  EXPECT_EQ(versionString(info, "ProductName"), "brisel");
  EXPECT_EQ(versionString(info, "FileDescription"), "Adaptive Equalization filter plug-in");
  EXPECT_EQ(versionString(info, "FileVersion"), BRISEL_PROJECT_VERSION);
  EXPECT_EQ(versionString(info, "ProductVersion"), BRISEL_PROJECT_VERSION);
  EXPECT_EQ(versionString(info, "OriginalFilename"), "brisel.8bf");

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%u.%u.%u", unsigned(HIWORD(fixed->dwFileVersionMS)),
                unsigned(LOWORD(fixed->dwFileVersionMS)), unsigned(HIWORD(fixed->dwFileVersionLS)));
  EXPECT_EQ(std::string(numbers), BRISEL_PROJECT_VERSION) << "file version numbers";
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileType, DWORD(VFT_DLL));
}

TEST_F(ModuleResourcesTest, TerminologyIsThePublishedTerminology) {
  const std::vector<uint8_t> stored = loadResource("AETE", 16000);
  expectPublishedTerminology(stored);
  EXPECT_EQ(stored, buildBytes(buildScriptingTerminology))
      << "the resource is what the tables build";
}

// A host follows the hstm record to the terminology: its id must find one.
TEST_F(ModuleResourcesTest, PropertyListLeadsToTheTerminology) {
  const std::vector<uint8_t> propertyList = loadResource("PIPL", kPropertyListId);
  const PropertyList list = readPropertyList(propertyList);
  ASSERT_EQ(list.properties.size(), 8u);
  const std::vector<uint8_t>& record = list.properties[5].data;
  ASSERT_EQ(list.properties[5].key, "hstm");
  ASSERT_GE(record.size(), 14u);
  const int32_t terminologyId = int16_t(record[12] | (record[13] << 8));

  const std::vector<uint8_t> terminology = loadResource("AETE", terminologyId);
  ASSERT_FALSE(terminology.empty()) << "no terminology under id " << terminologyId;
  expectPropertyListNamesTerminology(propertyList, terminology, kTerminologyId);
}

struct TabledControl {
  int id;
  uint16_t classAtom;
  DWORD style;  // besides WS_CHILD | WS_VISIBLE, which every control has
  int16_t x, y, width, height;
  const char* caption;  // null for the descriptive lines
};

constexpr uint16_t kButton = 0x80;
constexpr uint16_t kEdit = 0x81;
constexpr uint16_t kStatic = 0x82;
constexpr uint16_t kScrollBar = 0x84;
constexpr DWORD kEditStyle = WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
constexpr DWORD kLabelStyle = SS_LEFT | WS_GROUP;

const TabledControl kControls[] = {
    {1, kButton, BS_DEFPUSHBUTTON | WS_TABSTOP, 239, 123, 50, 14, "OK"},
    {2, kButton, BS_PUSHBUTTON | WS_TABSTOP, 167, 123, 50, 14, "Cancel"},
    {3, kEdit, kEditStyle, 258, 33, 31, 14, ""},
    {-1, kStatic, kLabelStyle, 190, 8, 75, 10, "Adaptive Neighborhood"},
    {-1, kStatic, kLabelStyle, 166, 31, 82, 10, "Region Center Weighting"},
    {4, kEdit, kEditStyle, 258, 56, 31, 14, ""},
    {5, kEdit, kEditStyle, 258, 79, 31, 14, ""},
    {-1, kStatic, kLabelStyle, 166, 54, 83, 10, "Contrast Expansion"},
    {-1, kStatic, kLabelStyle, 166, 77, 83, 10, "Noise Rejection"},
    {-1, kStatic, kLabelStyle, 192, 17, 75, 10, "Histogram Equalization"},
    {6, kEdit, kEditStyle, 258, 101, 31, 14, ""},
    {-1, kStatic, kLabelStyle, 166, 99, 84, 10, "Add Fraction of Original"},
    {13, kStatic, SS_BLACKFRAME, 6, 7, 131, 122, ""},
    {11, kScrollBar, SBS_HORZ, 5, 129, 133, 8, ""},
    {12, kScrollBar, SBS_VERT, 138, 6, 9, 123, ""},
    {7, kScrollBar, SBS_HORZ, 166, 40, 82, 8, ""},
    {8, kScrollBar, SBS_HORZ, 166, 62, 82, 8, ""},
    {9, kScrollBar, SBS_HORZ, 166, 85, 82, 8, ""},
    {10, kScrollBar, SBS_HORZ, 166, 107, 82, 8, ""},
    {-1, kStatic, kLabelStyle, 5, 147, 293, 8, nullptr},
    {-1, kStatic, kLabelStyle, 5, 156, 279, 8, nullptr},
    {-1, kStatic, kLabelStyle, 5, 165, 295, 8, nullptr},
};
constexpr size_t kDescriptiveLines = 3;  // the last three controls

TEST_F(ModuleResourcesTest, DialogTemplateIsAsTabled) {
  const DialogTemplate dialog = readDialogTemplate(loadResource(RT_DIALOG, 9522));
  ASSERT_FALSE(dialog.failed);
  EXPECT_EQ(dialog.style, DWORD(DS_MODALFRAME | WS_POPUP | WS_VISIBLE | DS_SETFONT));
  EXPECT_EQ(dialog.extendedStyle, 0u);
  EXPECT_EQ(dialog.x, 50);
  EXPECT_EQ(dialog.y, 50);
  EXPECT_EQ(dialog.width, 306);
  EXPECT_EQ(dialog.height, 178);
  EXPECT_EQ(dialog.menu, "");
  EXPECT_EQ(dialog.className, "");
  EXPECT_EQ(dialog.caption, "");
  EXPECT_EQ(dialog.pointSize, 8);
  EXPECT_EQ(dialog.typeface, "MS Sans Serif");

  ASSERT_EQ(dialog.items.size(), std::size(kControls));
  for (size_t i = 0; i < dialog.items.size(); ++i) {
    const DialogItem& item = dialog.items[i];
    const TabledControl& want = kControls[i];
    SCOPED_TRACE("control " + std::to_string(i) + " id " + std::to_string(want.id));
    EXPECT_EQ(item.id, uint16_t(want.id));
    EXPECT_EQ(item.classAtom, want.classAtom) << item.className;
    EXPECT_EQ(item.style, want.style | WS_CHILD | WS_VISIBLE);
    EXPECT_EQ(item.extendedStyle, 0u);
    EXPECT_EQ(item.x, want.x);
    EXPECT_EQ(item.y, want.y);
    EXPECT_EQ(item.width, want.width);
    EXPECT_EQ(item.height, want.height);
    if (want.caption != nullptr) {
      EXPECT_EQ(item.caption, want.caption);
    }
    EXPECT_EQ(item.creationDataLength, 0);
  }
}

// The parameter table and the template agree: each parameter's label stands
// on the row of its edit field, with its bar just below the label's top.
TEST_F(ModuleResourcesTest, EachParameterIsLabelledBesideItsFieldAndBar) {
  const DialogTemplate dialog = readDialogTemplate(loadResource(RT_DIALOG, 9522));
  ASSERT_FALSE(dialog.failed);
  auto find = [&](int id, const char* caption) -> const DialogItem* {
    for (const DialogItem& item : dialog.items) {
      if (caption != nullptr ? item.caption == caption : item.id == uint16_t(id)) return &item;
    }
    return nullptr;
  };
  for (const FilterParameter& p : kFilterParameters) {
    SCOPED_TRACE(p.name);
    const DialogItem* label = find(-1, p.label);
    const DialogItem* edit = find(p.editId, nullptr);
    const DialogItem* bar = find(p.barId, nullptr);
    ASSERT_TRUE(label != nullptr && edit != nullptr && bar != nullptr);
    EXPECT_EQ(edit->classAtom, 0x81);
    EXPECT_EQ(bar->classAtom, 0x84);
    EXPECT_GE(edit->y, label->y);
    EXPECT_LE(edit->y, label->y + label->height);
    EXPECT_GT(bar->y, label->y);
    EXPECT_LE(bar->y, label->y + label->height);
  }
}

// The descriptive lines name the four parameters by their labels and each fits
// its static on one line. Widths are measured as Windows lays out a dialog:
// dialog units from the average width of the template font's letters. Wine may
// substitute a similar face for "MS Sans Serif"; the lines keep a margin for it.
TEST_F(ModuleResourcesTest, DescriptiveLinesExplainTheParametersAndFit) {
  const DialogTemplate dialog = readDialogTemplate(loadResource(RT_DIALOG, 9522));
  ASSERT_EQ(dialog.items.size(), std::size(kControls));

  std::string allLines;
  for (size_t i = dialog.items.size() - kDescriptiveLines; i < dialog.items.size(); ++i) {
    EXPECT_FALSE(dialog.items[i].caption.empty());
    allLines += dialog.items[i].caption + "\n";
  }
  for (const char* label :
       {"Region Center Weighting", "Contrast Expansion", "Noise Rejection", "Add Fraction"}) {
    EXPECT_NE(allLines.find(label), std::string::npos) << label;
  }

  HDC dc = CreateCompatibleDC(nullptr);
  ASSERT_NE(dc, nullptr);
  HFONT font =
      CreateFontA(-MulDiv(dialog.pointSize, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL,
                  FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                  DEFAULT_QUALITY, DEFAULT_PITCH, dialog.typeface.c_str());
  ASSERT_NE(font, nullptr);
  HGDIOBJ previous = SelectObject(dc, font);
  const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  SIZE extent = {};
  GetTextExtentPoint32A(dc, letters, 52, &extent);
  const int baseUnitX = (extent.cx / 26 + 1) / 2;
  ASSERT_GT(baseUnitX, 0);

  for (size_t i = dialog.items.size() - kDescriptiveLines; i < dialog.items.size(); ++i) {
    const DialogItem& item = dialog.items[i];
    GetTextExtentPoint32A(dc, item.caption.c_str(), int(item.caption.size()), &extent);
    const int widthPixels = MulDiv(item.width, baseUnitX, 4);
    EXPECT_LE(extent.cx, widthPixels) << '"' << item.caption << "\" in " << item.width << " units";
  }
  SelectObject(dc, previous);
  DeleteObject(font);
  DeleteDC(dc);
}

}  // namespace
