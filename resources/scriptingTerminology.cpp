// scriptingTerminology.cpp -- the scripting terminology resource: tables and byte builder
#include "resources/scriptingTerminology.h"

#include <cstring>
#include <iterator>

#include "core/hostErrors.h"
#include "resources/filterParameters.h"
#include "resources/resourceBytes.h"
#include "resources/resourceIds.h"

#ifndef BRISEL_VERSION
#error "BRISEL_VERSION (the project version text) must be defined by the build"
#endif

namespace {

constexpr TerminologySuite kSuite = {
    "brisel",
    "brisel " BRISEL_VERSION,
    kSuiteCode,
    1,  // level
    1,  // version
    "Adaptive Equalization",
    "abcd",
    kSuiteCode,
    kFilterEventCode,
    kNullType,
    0,
    kImageReferenceType,
    kDirectParameterFlags,
};

// The filter's own parameters as the dictionary lists them.
constexpr TerminologyParameter ownParameter(int32_t parameter) {
  return {kFilterParameters[parameter].keyText, kFilterParameters[parameter].scriptingName, "doub"};
}

// The dictionary shared by a family of filters, in resource order. This filter
// reads and writes only its own four (#164 to #167); the types of
// the others follow from what their names measure or choose: counts, levels,
// masks and pixel sizes are "long", switches "bool", file names "TEXT", radio
// choices their enumeration, everything measured or weighted "doub".
// clang-format off
constexpr TerminologyParameter kParameters[] = {
    {"fTYP", "Filter Type",                           "rB00"},
    {"HMRk", "Rank By",                               "rB01"},
    {"mVar", "Label With Variable",                   "rB02"},
    {"NbSz", "Neighborhood Size",                     "rB03"},
    {"CFil", "Color Filter Mode",                     "rB04"},
    {"clrM", "Color for Ranking",                     "rB05"},
    {"clmM", "Color Ranking Mode",                    "rB06"},
    {"cSpc", "Color Space Conversion",                "rB07"},
    {"ranN", "Random Distribution",                   "rB08"},
    {"ranM", "Rank By",                               "rB09"},
    {"RadL", "Radial Line Distribution",              "rB10"},
    {"parL", "Line Orientation",                      "rB11"},
    {"eQul", "Equalization Mode",                     "rB12"},
    {"pGrd", "Point Grid Type",                       "rB13"},
    {"LinG", "Line Grid Mode",                        "rB14"},
    {"cutE", "Edge Cutoff Mode",                      "rB15"},
    {"RenM", "Rendering Mode",                        "rB16"},
    {"Athr", "Automatic Thresholding Mode",           "rB17"},
    {"gVar", "Measured Variable Selection",           "rB18"},
    {"gVr1", "Measured Variable X-Axis",              "rB18"},
    {"gVr2", "Measured Variable Y-Axis",              "rB18"},
    {"cOnV", "Convolve Normalization",                "rB19"},
    {"prFa", "Profile Average",                       "rB20"},
    {"cPln", "Color Plane Selected",                  "rB21"},
    {"FilM", "Fill Color Selected",                   "rB22"},
    {"Chnl", "Channel selected",                      "rB23"},
    {"cOEF", "Morph. Coefficient",                    "long"},
    {"dPTH", "Morph. Depth",                          "long"},
    {"cOFF", "Cutoff",                                "doub"},
    {"rADI", "Radius",                                "doub"},
    {"bDTH", "Breadth",                               "doub"},
    {"aNGL", "Angle",                                 "doub"},
    {"aRNG", "Angle Range",                           "doub"},
    {"gSiz", "ASTM Grain Size",                       "doub"},
    {"Msk0", "Hit-Or-Miss Mask #0",                   "long"},
    {"Msk1", "Hit-Or-Miss Mask #1",                   "long"},
    {"Msk2", "Hit-Or-Miss Mask #2",                   "long"},
    {"Msk3", "Hit-Or-Miss Mask #3",                   "long"},
    {"Msk4", "Hit-Or-Miss Mask #4",                   "long"},
    {"Msk5", "Hit-Or-Miss Mask #5",                   "long"},
    {"Msk6", "Hit-Or-Miss Mask #6",                   "long"},
    {"eDPT", "EDM Erosion Depth",                     "long"},
    {"radV", "Vol. Wt. Mean Radius",                  "doub"},
    {"diaV", "Vol. Wt. Mean Diameter",                "doub"},
    {"unCd", "Units",                                 "UniT"},
    {"nRad", "Neighborhood Radius",                   "doub"},
    {"iRad", "Inner Radius",                          "doub"},
    {"oRad", "Outer Radius",                          "doub"},
    {"Fred", "Red Color Component",                   "long"},
    {"Fgre", "Green Color Component",                 "long"},
    {"Fblu", "Blue Color Component",                  "long"},
    {"blWt", "Blend Weight",                          "doub"},
    {"thBi", "Threshold Value",                       "long"},
    {"tAut", "Auto Bi-Level",                         "bool"},
    {"LLen", "Line Length",                           "doub"},
    {"lAng", "Line Angle",                            "doub"},
    {"pSpc", "Number of Grid Points",                 "long"},
    {"pFil", "Solid Points",                          "bool"},
    {"Pnts", "Input Number Of Points",                "long"},
    {"Npts", "Output Number Of Points",               "long"},
    {"lSpc", "Grid Spacing (Pixels)",                 "long"},
    {"nMrk", "Number Of Features",                    "long"},
    {"FrDm", "Fractal Dimension",                     "doub"},
    {"AsbA", "Area Fraction",                         "doub"},
    {"PsbL", "P sub L",                               "doub"},
    {"Lsb3", "Mean Intercept Length",                 "doub"},
    {"iAre", "Image Area",                            "doub"},
    {"tLen", "Total Length",                          "doub"},
    {"nNod", "Number Of Nodes",                       "long"},
    {"nEnd", "Number Of Ends",                        "long"},
    {"nNbr", "Nearest Neighbor Distance",             "doub"},
    {"pNbr", "Expected Random Neighbor Distance",     "doub"},
    {"nPks", "Number Of Peaks",                       "long"},
    {"nVal", "Number Of Valleys",                     "long"},
    {"SsbZ", "S sub Z",                               "doub"},
    {"STmn", "Mean Value",                            "doub"},
    {"STsd", "Standard Deviation",                    "doub"},
    {"STsk", "Skew",                                  "doub"},
    {"STku", "Kurtosis",                              "doub"},
    {"SsbA", "Mean Absolute Deviation",               "doub"},
    {"Tpls", "Positive Tangent Count",                "long"},
    {"Tmin", "Negative Tangent Count",                "long"},
    {"Rval", "Mean Red Value",                        "doub"},
    {"Gval", "Mean Green Value",                      "doub"},
    {"Bval", "Mean Blue Value",                       "doub"},
    {"Sval", "Mean Saturation Value",                 "doub"},
    {"Hval", "Mean Hue Value",                        "doub"},
    {"Vval", "Mean Intensity Value",                  "doub"},
    {"Cupp", "Units Per Pixel",                       "doub"},
    {"Hrng", "Hue Tolerance",                         "long"},
    {"Srng", "Saturation Tolerance",                  "long"},
    {"Vrng", "Intensity Tolerance",                   "long"},
    {"Ilev", "Brightness Value",                      "long"},
    {"PxSz", "Cutoff Size (Pixels)",                  "long"},
    {"Alph", "Fractal Alpha Coefficient",             "doub"},
    {"AngR", "Angle (Radians)",                       "doub"},
    {"dogF", "Difference Of Gaussians",               "bool"},
    {"NmCt", "Number Of Contour Lines",               "long"},
    {"WhtB", "White Background",                      "bool"},
    {"GryL", "Gray Lines",                            "bool"},
    {"ShLn", "Lines Showing",                         "bool"},
    {"Smpl", "Sampling",                              "doub"},
    {"iTer", "Rank Iterations",                       "long"},
    {"PhAz", "Azimuth",                               "doub"},
    {"PhEl", "Elevation",                             "doub"},
    {"PhSp", "Specularity",                           "doub"},
    {"xScl", "X Scale",                               "doub"},
    {"yScl", "Y Scale",                               "doub"},
    {"iAng", "Rotation Angle",                        "doub"},
    {"Ntrp", "Interpolation",                         "bool"},
    {"sPer", "Sine Period",                           "doub"},
    {"sPha", "Sine Phase",                            "doub"},
    {"sAng", "Sine Angle",                            "doub"},
    {"TPct", "Percentage",                            "doub"},
    {"TPcD", "Brightest",                             "bool"},
    {"MPmn", "Measured Mean Value",                   "doub"},
    {"MPmi", "Measured Minimum Value",                "doub"},
    {"MPmx", "Measured Maximum Value",                "doub"},
    {"MPsd", "Measured Standard Deviation",           "doub"},
    {"MPsk", "Measured Skew",                         "doub"},
    {"MPku", "Measured Kurtosis",                     "doub"},
    {"MPsl", "Regression Slope",                      "doub"},
    {"MPic", "Regression Intercept",                  "doub"},
    {"MPrr", "Regression r-Squared",                  "doub"},
    {"sCAL", "Scale Factor",                          "doub"},
    {"oFST", "Offset",                                "doub"},
    {"fLTR", "Kernel File",                           "TEXT"},
    {"cLUT", "CLUT File",                             "TEXT"},
    {"fDAT", "Feature Data File",                     "TEXT"},
    {"fAPD", "Append",                                "bool"},
    {"Hsto", "Histogram File",                        "TEXT"},
    {"prFl", "Profile File",                          "TEXT"},
    {"GrAr", "Grid Area",                             "doub"},
    {"prFd", "Plot Direction",                        "long"},
    {"DenC", "Density Calibration File",              "TEXT"},
    {"Ctr1", "Brightness Setting #1",                 "long"},
    {"Ctr2", "Brightness Setting #2",                 "long"},
    {"Ctr3", "Brightness Setting #3",                 "long"},
    {"Ctr4", "Brightness Setting #4",                 "long"},
    {"fRd1", "Filter Radius (low cutoff)",            "doub"},
    {"fRd2", "Filter Radius (high cutoff)",           "doub"},
    {"Dens", "Density",                               "doub"},
    {"Ilv1", "Brightness Level (low)",                "long"},
    {"Ilv2", "Brightness Level (high)",               "long"},
    {"iWd1", "Image Width (numerator)",               "long"},
    {"iWd2", "Image Width (denominator)",             "long"},
    {"nRdL", "Number Of Lines",                       "long"},
    {"tAre", "Total Area",                            "doub"},
    {"Gmma", "Gamma Setting",                         "doub"},
    {"Auto", "Automatic Limits",                      "bool"},
    {"3Srr", "Red-Red Coeff",                         "doub"},
    {"3Srg", "Red-Green Coeff",                       "doub"},
    {"3Srb", "Red-Blue Coeff",                        "doub"},
    {"3Sgr", "Green-Red Coeff",                       "doub"},
    {"3Sgg", "Green-Green Coeff",                     "doub"},
    {"3Sgb", "Green-Blue Coeff",                      "doub"},
    {"3Sbr", "Blue-Red Coeff",                        "doub"},
    {"3Sbg", "Blue-Green Coeff",                      "doub"},
    {"3Sbb", "Blue-Blue Coeff",                       "doub"},
    {"MxSz", "Maximum Diameter",                      "doub"},
    {"MnSz", "Minimum Diameter",                      "doub"},
    {"MxSh", "Maximum Formfactor",                    "doub"},
    {"MnSh", "Minimum Formfactor",                    "doub"},
    ownParameter(ParameterAlpha),
    ownParameter(ParameterBeta),
    ownParameter(ParameterGamma),
    ownParameter(ParameterDelta),
    {"Pcnt", "Percent",                               "doub"},
    {"EqVc", "Percent Add",                           "doub"},
    {"EqVb", "N'borhood Radius",                      "doub"},
    {"CySp", "Cycloid Spacing",                       "doub"},
    {"DOGa", "Difference of Gaussians Smoothing",     "doub"},
    {"DOGb", "Difference of Gaussians Backgr Smooth", "doub"},
    {"DOGc", "Difference of Gaussians Subtraction %", "doub"},
    {"Gsig", "Gaussian Smoothing Sigma",              "doub"},
    {"Slop", "Slope",                                 "doub"},
};
// clang-format on

// Enumeration items. Where only the first and last names of a list are fixed,
// the names between describe the choice in the same manner.
constexpr const char* kFilterTypes[] = {"Ideal", "Butterworth", "Gaussian", "Exponential",
                                        "Sector"};
constexpr const char* kRankings[] = {"Brightest", "Median", "Darkest"};
// Feature measurements: rB02 offers them all, rB18 all but the feature number.
// clang-format off
constexpr const char* kMeasurements[] = {
    "Feature Number", "Area", "Perimeter", "Convex Perimeter",            // 3 ..
    "Equiv. Diameter", "Length", "Breadth", "Inscribed Radius",           // 7 ..
    "Center X", "Center Y", "Minimum X", "Maximum X",                     // 11 ..
    "Minimum Y", "Maximum Y", "Orientation", "Form Factor",               // 15 ..
    "Roundness", "Aspect Ratio", "Convexity", "Compactness",              // 19 ..
    "Extent", "Mean Brightness", "Min. Brightness", "Max. Brightness",    // 23 ..
    "Brightness Std. Dev.", "Integrated Density", "Solidity"};            // 27 .. 29
// clang-format on
constexpr const char* kNeighborhoods[] = {"3x3", "5x5", "7x7"};
constexpr const char* kColorFilters[] = {"Red",       "Green",       "Blue", "Cyan",
                                         "Magenta",   "Yellow",      "Hue",  "Saturation",
                                         "Intensity", "Filter Wheel"};
constexpr const char* kRankingColors[] = {"Red", "Green", "Blue", "Cyan", "Yellow", "Magenta"};
constexpr const char* kMorphologies[] = {"Erode", "Dilate"};
constexpr const char* kColorConversions[] = {"RGB -> L*a*b", "L*a*b -> RGB", "RGB -> YIQ",
                                             "YIQ -> RGB",   "RGB -> HSL",   "HSL -> RGB"};
constexpr const char* kDistributions[] = {"Normal", "Gaussian"};
constexpr const char* kRankStatistics[] = {"Brightest", "Median",   "Darkest",
                                           "Mean",      "Variance", "Range"};
constexpr const char* kRadialDistributions[] = {"Uniform", "Sine-Weighted"};
constexpr const char* kOrientations[] = {"Horizontal", "Vertical", "Arbitrary"};
constexpr const char* kEqualizations[] = {"Linear", "Logarithmic", "Exponential", "Center Emphasis",
                                          "Ends Emphasis"};
constexpr const char* kPointGrids[] = {"Square Point Array", "Random Points"};
constexpr const char* kLineGrids[] = {"Random Lines", "Parallel Lines", "Cycloids",
                                      "Concentric Circles"};
constexpr const char* kEdgeCutoffs[] = {"Ignore Edges", "Remove top/left edge", "Remove any edge"};
constexpr const char* kRenderings[] = {"None", "Wire Frame", "Hidden Line", "Shaded",
                                       "Photo Realistic"};
constexpr const char* kThresholdings[] = {"Perimeter", "Entropy", "Bimodal", "Isodata", "None"};
constexpr const char* kNormalizations[] = {"Scale w/ values", "Clip values", "Autoscale (Mid-Gray)",
                                           "Autoscale (Black..White)"};
constexpr const char* kProfileAverages[] = {"Radial Line", "Circular Average"};
constexpr const char* kColorPlanes[] = {"Red", "Green", "Blue", "Hue", "Saturation", "Intensity"};
// "\xB5" is the micro sign in the host's Windows code page (1252).
constexpr const char* kUnits[] = {"\xB5m", "mm", "cm", "m", "km", "in", "ft", "mi"};
constexpr const char* kFillColors[] = {"White", "Black", "Foreground", "Background", "Edge"};
constexpr const char* kChannels[] = {"Intensity", "RGB"};

template <size_t N>
constexpr TerminologyEnumeration makeEnumeration(const char* code, int32_t firstValue,
                                                 const char* const (&items)[N]) {
  return {code, firstValue, int16_t(N), items};
}

constexpr TerminologyEnumeration kEnumerations[] = {
    makeEnumeration("rB00", 3, kFilterTypes),
    makeEnumeration("rB01", 3, kRankings),
    makeEnumeration("rB02", 3, kMeasurements),
    makeEnumeration("rB03", 3, kNeighborhoods),
    makeEnumeration("rB04", 3, kColorFilters),
    makeEnumeration("rB05", 5, kRankingColors),
    makeEnumeration("rB06", 3, kMorphologies),
    makeEnumeration("rB07", 3, kColorConversions),
    makeEnumeration("rB08", 3, kDistributions),
    makeEnumeration("rB09", 3, kRankStatistics),
    makeEnumeration("rB10", 3, kRadialDistributions),
    makeEnumeration("rB11", 3, kOrientations),
    makeEnumeration("rB12", 3, kEqualizations),
    makeEnumeration("rB13", 3, kPointGrids),
    makeEnumeration("rB14", 3, kLineGrids),
    makeEnumeration("rB15", 4, kEdgeCutoffs),
    makeEnumeration("rB16", 5, kRenderings),
    makeEnumeration("rB17", 3, kThresholdings),
    {"rB18", 4, int16_t(std::size(kMeasurements) - 1), kMeasurements + 1},
    makeEnumeration("rB19", 3, kNormalizations),
    makeEnumeration("rB20", 3, kProfileAverages),
    makeEnumeration("rB21", 3, kColorPlanes),
    makeEnumeration("UniT", 1, kUnits),
    makeEnumeration("rB22", 3, kFillColors),
    makeEnumeration("rB23", 3, kChannels),
};

// A text the resource stores after a length byte: 255 characters at most.
constexpr bool fitsLengthByte(const char* text) { return textLength(text) <= 255; }

constexpr bool isEnumerationCode(const char* type) {
  for (const TerminologyEnumeration& enumeration : kEnumerations) {
    if (codeFromText(enumeration.code) == codeFromText(type)) return true;
  }
  return false;
}

constexpr bool isKnownType(const char* type) {
  const OSType code = codeFromText(type);
  return code == fourCharCode("doub") || code == fourCharCode("long") ||
         code == fourCharCode("bool") || code == fourCharCode("TEXT") || isEnumerationCode(type);
}

// Table faults stop the build rather than make a resource a host misreads.
constexpr bool checkParameters() {
  for (const TerminologyParameter& parameter : kParameters) {
    if (codeFromText(parameter.key) == 0 || !isKnownType(parameter.type)) return false;
    if (textLength(parameter.name) == 0 || !fitsLengthByte(parameter.name)) return false;
  }
  return true;
}

constexpr bool checkEnumerations() {
  for (const TerminologyEnumeration& enumeration : kEnumerations) {
    if (codeFromText(enumeration.code) == 0 || enumeration.itemCount <= 0) return false;
    for (int16_t i = 0; i < enumeration.itemCount; ++i) {
      const char* item = enumeration.items[i];
      if (textLength(item) == 0 || !fitsLengthByte(item)) return false;
    }
  }
  return true;
}

static_assert(std::size(kParameters) == 176, "the dictionary has 176 parameters");
static_assert(std::size(kEnumerations) == 25, "the dictionary has 25 enumerations");
static_assert(checkParameters(),
              "every parameter needs a four-character key, a known type and a name");
static_assert(checkEnumerations(), "every enumeration needs a code and named items");
static_assert(fitsLengthByte(kSuite.name) && fitsLengthByte(kSuite.description) &&
                  fitsLengthByte(kSuite.eventName) && fitsLengthByte(kSuite.eventDescription),
              "suite and event texts are length-prefixed");

}  // namespace

const TerminologySuite* getTerminologySuite() { return &kSuite; }

const TerminologyParameter* getTerminologyParameters(int32_t* count) {
  *count = int32_t(std::size(kParameters));
  return kParameters;
}

const TerminologyEnumeration* getTerminologyEnumerations(int32_t* count) {
  *count = int32_t(std::size(kEnumerations));
  return kEnumerations;
}

int16_t getParameterFlags(const char* type) {
  return isEnumerationCode(type) ? kEnumeratedParameterFlags : 0;
}

OSErr buildScriptingTerminology(uint8_t* bytes, int32_t capacity, int32_t* length) {
  ByteWriter writer;
  startByteWriter(&writer, bytes, capacity);

  // Header: resource version, terminology version 1.0, language, script, suites.
  putInt16(&writer, 1);
  putByte(&writer, 1);
  putByte(&writer, 0);
  putInt16(&writer, 0);
  putInt16(&writer, 0);
  putInt16(&writer, 1);

  // The suite and its single event.
  putLengthPrefixed(&writer, kSuite.name);
  putLengthPrefixed(&writer, kSuite.description);
  putCode(&writer, kSuite.code);
  putInt16(&writer, kSuite.level);
  putInt16(&writer, kSuite.version);
  putInt16(&writer, 1);

  putLengthPrefixed(&writer, kSuite.eventName);
  putLengthPrefixed(&writer, kSuite.eventDescription);
  putCode(&writer, kSuite.eventClass);
  putCode(&writer, kSuite.eventCode);
  putCode(&writer, kSuite.replyType);
  putLengthPrefixed(&writer, "");
  putInt16(&writer, kSuite.replyFlags);
  putCode(&writer, kSuite.directType);
  putLengthPrefixed(&writer, "");
  putInt16(&writer, kSuite.directFlags);

  // Parameters: name, key, type, empty description, flags.
  putInt16(&writer, int16_t(std::size(kParameters)));
  for (const TerminologyParameter& parameter : kParameters) {
    putLengthPrefixed(&writer, parameter.name);
    putCode(&writer, codeFromText(parameter.key));
    putCode(&writer, codeFromText(parameter.type));
    putLengthPrefixed(&writer, "");
    putInt16(&writer, getParameterFlags(parameter.type));
  }

  // No classes, no comparison operators.
  putInt16(&writer, 0);
  putInt16(&writer, 0);

  // Enumerations: code, item count, then name, value, empty description per item.
  putInt16(&writer, int16_t(std::size(kEnumerations)));
  for (const TerminologyEnumeration& enumeration : kEnumerations) {
    putCode(&writer, codeFromText(enumeration.code));
    putInt16(&writer, enumeration.itemCount);
    for (int16_t i = 0; i < enumeration.itemCount; ++i) {
      putLengthPrefixed(&writer, enumeration.items[i]);
      putInt32(&writer, enumeration.firstValue + i);
      putLengthPrefixed(&writer, "");
    }
  }

  *length = writer.length;
  return writer.error;
}
