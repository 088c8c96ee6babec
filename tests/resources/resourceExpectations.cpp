// resourceExpectations.cpp -- the published property list and terminology, as test assertions
#include "tests/resources/resourceExpectations.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "tests/resources/resourceReaders.h"

#ifndef BRISEL_PROJECT_VERSION
#error "BRISEL_PROJECT_VERSION must be defined by the build"
#endif

namespace {

void addBytes(std::vector<uint8_t>* out, std::initializer_list<int> bytes) {
  for (int value : bytes) out->push_back(uint8_t(value));
}

void addText(std::vector<uint8_t>* out, const char* text) {
  for (; *text != '\0'; ++text) out->push_back(uint8_t(*text));
}

void addZeros(std::vector<uint8_t>* out, int count) { out->insert(out->end(), size_t(count), 0); }

// Property header: vendor and key as stored (byte-reversed), id 0, length.
void addPropertyHeader(std::vector<uint8_t>* out, const char* storedKey, int length) {
  addText(out, "MIB8");
  addText(out, storedKey);
  addBytes(out, {0, 0, 0, 0, length, 0, 0, 0});
}

std::vector<uint8_t> publishedPropertyList(const std::string& entryPointKey) {
  std::vector<uint8_t> b;
  addBytes(&b, {0x01, 0x00});  // resource version 1
  addBytes(&b, {0, 0, 0, 0});  // list version 0
  addBytes(&b, {8, 0, 0, 0});  // eight properties

  addPropertyHeader(&b, "dnik", 4);
  addText(&b, "MFB8");
  addPropertyHeader(&b, "eman", 20);
  addBytes(&b, {14});
  addText(&b, "Adapt.Equalize");
  addZeros(&b, 20 - 15);
  addPropertyHeader(&b, "gtac", 20);
  addBytes(&b, {10});
  addText(&b, "OM*Process");
  addZeros(&b, 20 - 11);
  addPropertyHeader(&b, "srev", 4);
  addBytes(&b, {0x00, 0x00, 0x04, 0x00});
  addPropertyHeader(&b, std::string(entryPointKey.rbegin(), entryPointKey.rend()).c_str(), 12);
  addText(&b, "ENTRYPOINT");
  addZeros(&b, 2);
  addPropertyHeader(&b, "mtsh", 48);
  addBytes(&b, {0, 0, 0, 0});
  addText(&b, "qLMu");
  addText(&b, "qEHA");
  addBytes(&b, {0x80, 0x3E});  // 16000
  addText(&b, "OMKAAHEq");
  addZeros(&b, 48 - 22);  // the scope's zero and the rest
  addPropertyHeader(&b, "edom", 4);
  addBytes(&b, {0x50, 0x30, 0x00, 0x00});
  addPropertyHeader(&b, "icif", 28);
  for (int filterCase = 0; filterCase < 7; ++filterCase) addBytes(&b, {1, 1, 0x01, 0});

  addZeros(&b, 3);
  return b;
}

// Resource order, with the ranges of the list written out.
const char* const kParameterKeys =
    "fTYP HMRk mVar NbSz CFil clrM clmM cSpc ranN ranM RadL parL eQul pGrd LinG cutE RenM Athr "
    "gVar gVr1 gVr2 cOnV prFa cPln FilM Chnl cOEF dPTH cOFF rADI bDTH aNGL aRNG gSiz "
    "Msk0 Msk1 Msk2 Msk3 Msk4 Msk5 Msk6 eDPT radV diaV unCd nRad iRad oRad Fred Fgre Fblu blWt "
    "thBi tAut LLen lAng pSpc pFil Pnts Npts lSpc nMrk FrDm AsbA PsbL Lsb3 iAre tLen nNod nEnd "
    "nNbr pNbr nPks nVal SsbZ STmn STsd STsk STku SsbA Tpls Tmin Rval Gval Bval Sval Hval Vval "
    "Cupp Hrng Srng Vrng Ilev PxSz Alph AngR dogF NmCt WhtB GryL ShLn Smpl iTer PhAz PhEl PhSp "
    "xScl yScl iAng Ntrp sPer sPha sAng TPct TPcD MPmn MPmi MPmx MPsd MPsk MPku MPsl MPic MPrr "
    "sCAL oFST fLTR cLUT fDAT fAPD Hsto prFl GrAr prFd DenC Ctr1 Ctr2 Ctr3 Ctr4 fRd1 fRd2 Dens "
    "Ilv1 Ilv2 iWd1 iWd2 nRdL tAre Gmma Auto 3Srr 3Srg 3Srb 3Sgr 3Sgg 3Sgb 3Sbr 3Sbg 3Sbb "
    "MxSz MnSz MxSh MnSh AEqa AEqb AEqg AEqd Pcnt EqVc EqVb CySp DOGa DOGb DOGc Gsig Slop";

struct PublishedEnumeration {
  const char* code;
  int items;
  int firstValue;
  int lastValue;
  const char* firstName;
  const char* lastName;
  const char* allNames;  // '|'-separated where every item is named, else null
};

const PublishedEnumeration kEnumerations[] = {
    {"rB00", 5, 3, 7, "Ideal", "Sector", nullptr},
    {"rB01", 3, 3, 5, "Brightest", "Darkest", "Brightest|Median|Darkest"},
    {"rB02", 27, 3, 29, "Feature Number", "Solidity", nullptr},
    {"rB03", 3, 3, 5, "3x3", "7x7", "3x3|5x5|7x7"},
    {"rB04", 10, 3, 12, "Red", "Filter Wheel", nullptr},
    {"rB05", 6, 5, 10, "Red", "Magenta", nullptr},
    {"rB06", 2, 3, 4, "Erode", "Dilate", "Erode|Dilate"},
    {"rB07", 6, 3, 8, "RGB -> L*a*b", "HSL -> RGB", nullptr},
    {"rB08", 2, 3, 4, "Normal", "Gaussian", "Normal|Gaussian"},
    {"rB09", 6, 3, 8, "Brightest", "Range", nullptr},
    {"rB10", 2, 3, 4, "Uniform", "Sine-Weighted", "Uniform|Sine-Weighted"},
    {"rB11", 3, 3, 5, "Horizontal", "Arbitrary", "Horizontal|Vertical|Arbitrary"},
    {"rB12", 5, 3, 7, "Linear", "Ends Emphasis", nullptr},
    {"rB13", 2, 3, 4, "Square Point Array", "Random Points", "Square Point Array|Random Points"},
    {"rB14", 4, 3, 6, "Random Lines", "Concentric Circles", nullptr},
    {"rB15", 3, 4, 6, "Ignore Edges", "Remove any edge", nullptr},
    {"rB16", 5, 5, 9, "None", "Photo Realistic", nullptr},
    {"rB17", 5, 3, 7, "Perimeter", "None", nullptr},
    {"rB18", 26, 4, 29, "Area", "Solidity", nullptr},
    {"rB19", 4, 3, 6, "Scale w/ values", "Autoscale (Black..White)", nullptr},
    {"rB20", 2, 3, 4, "Radial Line", "Circular Average", "Radial Line|Circular Average"},
    {"rB21", 6, 3, 8, "Red", "Intensity", nullptr},
    {"UniT", 8, 1, 8, "\xB5m", "mi", "\xB5m|mm|cm|m|km|in|ft|mi"},
    {"rB22", 5, 3, 7, "White", "Edge", nullptr},
    {"rB23", 2, 3, 4, "Intensity", "RGB", "Intensity|RGB"},
};

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  std::string part;
  while (std::getline(stream, part, separator)) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

void expectParameters(const Terminology& t) {
  const std::vector<std::string> keys = split(kParameterKeys, ' ');
  ASSERT_EQ(keys.size(), 176u);
  ASSERT_EQ(t.parameters.size(), 176u);
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(t.parameters[i].key, keys[i]) << "parameter #" << i + 1;
    EXPECT_FALSE(t.parameters[i].name.empty()) << keys[i];
    EXPECT_TRUE(t.parameters[i].description.empty()) << keys[i];
  }

  // The filter's own four, #164 to #167.
  const char* const ownNames[] = {"Adaptive Equalization Alpha", "Adaptive Equalization Beta",
                                  "Adaptive Equalization Gamma", "Adaptive Equalization Delta"};
  const char* const ownKeys[] = {"AEqa", "AEqb", "AEqg", "AEqd"};
  for (int i = 0; i < 4; ++i) {
    const TermParameter& p = t.parameters[size_t(163 + i)];
    EXPECT_EQ(p.name, ownNames[i]);
    EXPECT_EQ(p.key, ownKeys[i]);
    EXPECT_EQ(p.type, "doub");
    EXPECT_EQ(p.flags, 0);
  }
  EXPECT_EQ(t.parameters[0].name, "Filter Type");
  EXPECT_EQ(t.parameters[44].name, "Units");
  EXPECT_EQ(t.parameters[175].name, "Slope");

  // Types: enumerated ones carry 0x2000 and an enumeration's code, all others 0.
  std::set<std::string> enumerationCodes;
  for (const PublishedEnumeration& e : kEnumerations) enumerationCodes.insert(e.code);
  std::map<std::string, int> totals;
  std::map<std::string, int> enumeratedBy;
  for (const TermParameter& p : t.parameters) {
    if (enumerationCodes.count(p.type) != 0) {
      EXPECT_EQ(p.flags, 0x2000) << p.key;
      totals["enumerated"]++;
      enumeratedBy[p.type]++;
    } else {
      EXPECT_EQ(p.flags, 0) << p.key;
      totals[p.type]++;
    }
  }
  EXPECT_EQ(totals["doub"], 91);
  EXPECT_EQ(totals["long"], 42);
  EXPECT_EQ(totals["enumerated"], 27);
  EXPECT_EQ(totals["bool"], 10);
  EXPECT_EQ(totals["TEXT"], 6);
  EXPECT_EQ(totals.size(), 5u) << "no type beyond the five kinds";

  // rB00 .. rB23 type 26 parameters, rB18 three of them; UniT only unCd.
  for (int code = 0; code <= 23; ++code) {
    char name[8];
    std::snprintf(name, sizeof name, "rB%02d", code);
    EXPECT_EQ(enumeratedBy[name], code == 18 ? 3 : 1) << name;
  }
  EXPECT_EQ(t.parameters[44].key, "unCd");
  EXPECT_EQ(t.parameters[44].type, "UniT");
  EXPECT_EQ(enumeratedBy["UniT"], 1);
}

void expectEnumerations(const Terminology& t) {
  ASSERT_EQ(t.enumerations.size(), 25u);
  for (size_t e = 0; e < 25; ++e) {
    const PublishedEnumeration& want = kEnumerations[e];
    const TermEnumeration& got = t.enumerations[e];
    SCOPED_TRACE(want.code);
    EXPECT_EQ(got.code, want.code);
    ASSERT_EQ(int(got.items.size()), want.items);
    for (size_t i = 0; i < got.items.size(); ++i) {
      EXPECT_EQ(got.items[i].value, want.firstValue + int(i));
      EXPECT_FALSE(got.items[i].name.empty());
      EXPECT_TRUE(got.items[i].description.empty());
    }
    EXPECT_EQ(got.items.back().value, want.lastValue);
    EXPECT_EQ(got.items.front().name, want.firstName);
    EXPECT_EQ(got.items.back().name, want.lastName);
    if (want.allNames != nullptr) {
      const std::vector<std::string> names = split(want.allNames, '|');
      for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(got.items[i].name, names[i]);
    }
  }
  // rB18 is rB02 without its first item.
  const TermEnumeration& all = t.enumerations[2];
  const TermEnumeration& measured = t.enumerations[18];
  ASSERT_EQ(measured.items.size() + 1, all.items.size());
  for (size_t i = 0; i < measured.items.size(); ++i) {
    EXPECT_EQ(measured.items[i].name, all.items[i + 1].name);
    EXPECT_EQ(measured.items[i].value, all.items[i + 1].value);
  }
}

}  // namespace

void expectPublishedPropertyList(const std::vector<uint8_t>& bytes, const char* entryPointKey) {
  const std::vector<uint8_t> published = publishedPropertyList(entryPointKey);
  ASSERT_EQ(bytes.size(), published.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    EXPECT_EQ(int(bytes[i]), int(published[i])) << "byte " << i;
  }

  // The same through the reader: eight properties in order, each as declared.
  const PropertyList list = readPropertyList(bytes);
  ASSERT_FALSE(list.failed);
  const char* const keys[] = {"kind",        "name", "catg", "vers",
                              entryPointKey, "hstm", "mode", "fici"};
  const int32_t lengths[] = {4, 20, 20, 4, 12, 48, 4, 28};
  ASSERT_EQ(list.properties.size(), 8u);
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(list.properties[i].vendor, "8BIM");
    EXPECT_EQ(list.properties[i].key, keys[i]);
    EXPECT_EQ(list.properties[i].id, 0);
    EXPECT_EQ(list.properties[i].length, lengths[i]);
  }
  EXPECT_EQ(list.trailer, std::vector<uint8_t>(3, 0));
}

void expectPublishedTerminology(const std::vector<uint8_t>& bytes) {
  const Terminology t = readTerminology(bytes);
  ASSERT_FALSE(t.failed);
  EXPECT_EQ(t.unreadBytes, 0);
  ASSERT_GE(bytes.size(), 10u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 10),
            (std::vector<uint8_t>{1, 0, 1, 0, 0, 0, 0, 0, 1, 0}));

  EXPECT_EQ(t.suiteName, "brisel");
  EXPECT_EQ(t.suiteDescription, "brisel " BRISEL_PROJECT_VERSION);
  EXPECT_EQ(t.suiteCode, "uMLq");
  EXPECT_EQ(t.suiteLevel, 1);
  EXPECT_EQ(t.suiteVersion, 1);
  EXPECT_EQ(t.eventCount, 1);

  EXPECT_EQ(t.eventName, "Adaptive Equalization");
  EXPECT_EQ(t.eventDescription, "abcd");
  EXPECT_EQ(t.eventClass, "uMLq");
  EXPECT_EQ(t.eventCode, "AHEq");
  EXPECT_EQ(t.replyType, "null");
  EXPECT_EQ(t.replyDescription, "");
  EXPECT_EQ(t.replyFlags, 0);
  EXPECT_EQ(t.directType, "#ImR");
  EXPECT_EQ(t.directDescription, "");
  EXPECT_EQ(uint16_t(t.directFlags), 0xB000);

  expectParameters(t);
  EXPECT_EQ(t.classCount, 0);
  EXPECT_EQ(t.comparisonCount, 0);
  expectEnumerations(t);
}

void expectPropertyListNamesTerminology(const std::vector<uint8_t>& propertyList,
                                        const std::vector<uint8_t>& terminology,
                                        int32_t terminologyId) {
  const PropertyList list = readPropertyList(propertyList);
  const Terminology t = readTerminology(terminology);
  ASSERT_FALSE(list.failed);
  ASSERT_FALSE(t.failed);
  const PropertyRecord* record = nullptr;
  for (const PropertyRecord& property : list.properties) {
    if (property.key == "hstm") record = &property;
  }
  ASSERT_NE(record, nullptr);

  const std::vector<uint8_t> data = record->data;
  ByteReader reader = makeByteReader(data);
  EXPECT_EQ(readInt32(&reader), 0);  // record version
  EXPECT_EQ(readCode(&reader), t.eventClass);
  EXPECT_EQ(readCode(&reader), t.eventCode);
  EXPECT_EQ(readInt16(&reader), terminologyId);
  std::string scope;
  for (uint8_t c = readByte(&reader); c != 0 && !reader.failed; c = readByte(&reader)) {
    scope.push_back(char(c));
  }
  EXPECT_EQ(scope, "OMKAAHEq");
}
