// hostInterface.h -- the host's filter plug-in records and callback suites, laid out as published
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define BRISEL_CDECL __cdecl
#else
#define BRISEL_CDECL
#endif

typedef uint8_t Boolean;
typedef int32_t Fixed;
typedef uint32_t OSType;
typedef uint32_t DescriptorKeyID;
typedef uint32_t DescriptorTypeID;
typedef uint32_t DescriptorEnumID;
typedef int16_t OSErr;
typedef char** Handle;
typedef intptr_t intptr;

// Four-character code, first character in the most significant byte.
constexpr uint32_t fourCharCode(const char (&code)[5]) {
  return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
         (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
}

// Selectors the host passes to ENTRYPOINT.
enum : int16_t {
  filterSelectorAbout = 0,
  filterSelectorParameters = 1,
  filterSelectorPrepare = 2,
  filterSelectorStart = 3,
  filterSelectorContinue = 4,
  filterSelectorFinish = 5,
};

// playInfo and recordInfo values of PIDescriptorParameters.
enum : int16_t {
  plugInDialogDontDisplay = 0,
  plugInDialogDisplay = 1,
  plugInDialogSilent = 2,
};
enum : int16_t {
  plugInDialogOptional = 0,
  plugInDialogRequired = 1,
  plugInDialogNone = 2,
};

// Image modes the module handles.
enum : int16_t {
  plugInModeGrayScale = 1,
  plugInModeRGBColor = 3,
  plugInModeGray16 = 10,
  plugInModeRGB48 = 11,
};

struct Point {
  int16_t v;
  int16_t h;
};

struct Rect {
  int16_t top;
  int16_t left;
  int16_t bottom;
  int16_t right;
};

struct RGBColor {
  uint16_t red;
  uint16_t green;
  uint16_t blue;
};

typedef uint8_t FilterColor[4];

struct PlugInMonitor {
  Fixed gamma;
  Fixed redX, redY;
  Fixed greenX, greenY;
  Fixed blueX, blueY;
  Fixed whiteX, whiteY;
  Fixed ambient;
};

struct PlatformData {
  intptr_t hwnd;
};

typedef struct PIOpaqueReadDescriptor* PIReadDescriptor;
typedef struct PIOpaqueWriteDescriptor* PIWriteDescriptor;

typedef Boolean(BRISEL_CDECL* TestAbortProc)(void);
typedef void(BRISEL_CDECL* ProgressProc)(int32_t done, int32_t total);
typedef void(BRISEL_CDECL* HostProc)(int16_t selector, intptr* data);
typedef OSErr(BRISEL_CDECL* AdvanceStateProc)(void);

struct HandleProcs {
  int16_t handleProcsVersion;
  int16_t numHandleProcs;
  Handle(BRISEL_CDECL* newProc)(int32_t size);
  void(BRISEL_CDECL* disposeProc)(Handle h);
  int32_t(BRISEL_CDECL* getSizeProc)(Handle h);
  OSErr(BRISEL_CDECL* setSizeProc)(Handle h, int32_t size);
  char*(BRISEL_CDECL* lockProc)(Handle h, Boolean moveHigh);
  void(BRISEL_CDECL* unlockProc)(Handle h);
  void(BRISEL_CDECL* recoverSpaceProc)(int32_t size);
  void(BRISEL_CDECL* disposeRegularHandleProc)(Handle h);
};

typedef void(BRISEL_CDECL* AnyProc)(void);

struct ReadDescriptorProcs {
  int16_t readDescriptorProcsVersion;
  int16_t numReadDescriptorProcs;
  PIReadDescriptor(BRISEL_CDECL* openReadDescriptorProc)(Handle descriptor,
                                                         DescriptorKeyID* keyArray);
  OSErr(BRISEL_CDECL* closeReadDescriptorProc)(PIReadDescriptor token);
  Boolean(BRISEL_CDECL* getKeyProc)(PIReadDescriptor token, DescriptorKeyID* key,
                                    DescriptorTypeID* type, int32_t* flags);
  OSErr(BRISEL_CDECL* getIntegerProc)(PIReadDescriptor token, int32_t* value);
  OSErr(BRISEL_CDECL* getFloatProc)(PIReadDescriptor token, double* value);
  AnyProc getUnitFloatProc;
  OSErr(BRISEL_CDECL* getBooleanProc)(PIReadDescriptor token, Boolean* value);
  OSErr(BRISEL_CDECL* getTextProc)(PIReadDescriptor token, Handle* value);
  AnyProc getAliasProc;
  OSErr(BRISEL_CDECL* getEnumeratedProc)(PIReadDescriptor token, DescriptorEnumID* value);
  AnyProc getClassProc;
  AnyProc getSimpleReferenceProc;
  AnyProc getObjectProc;
  AnyProc getCountProc;
  AnyProc getStringProc;
  AnyProc getPinnedIntegerProc;
  AnyProc getPinnedFloatProc;
  AnyProc getPinnedUnitFloatProc;
};

struct WriteDescriptorProcs {
  int16_t writeDescriptorProcsVersion;
  int16_t numWriteDescriptorProcs;
  PIWriteDescriptor(BRISEL_CDECL* openWriteDescriptorProc)(void);
  OSErr(BRISEL_CDECL* closeWriteDescriptorProc)(PIWriteDescriptor token, Handle* descriptor);
  OSErr(BRISEL_CDECL* putIntegerProc)(PIWriteDescriptor token, DescriptorKeyID key, int32_t value);
  OSErr(BRISEL_CDECL* putFloatProc)(PIWriteDescriptor token, DescriptorKeyID key,
                                    const double* value);
  AnyProc putUnitFloatProc;
  OSErr(BRISEL_CDECL* putBooleanProc)(PIWriteDescriptor token, DescriptorKeyID key, Boolean value);
  OSErr(BRISEL_CDECL* putTextProc)(PIWriteDescriptor token, DescriptorKeyID key, Handle value);
  AnyProc putAliasProc;
  OSErr(BRISEL_CDECL* putEnumeratedProc)(PIWriteDescriptor token, DescriptorKeyID key,
                                         DescriptorTypeID type, DescriptorEnumID value);
  AnyProc putClassProc;
  AnyProc putSimpleReferenceProc;
  AnyProc putObjectProc;
  AnyProc putCountProc;
  AnyProc putStringProc;
  AnyProc putScopedClassProc;
  AnyProc putScopedObjectProc;
};

struct PIDescriptorParameters {
  int16_t descriptorParametersVersion;
  int16_t playInfo;
  int16_t recordInfo;
  Handle descriptor;
  WriteDescriptorProcs* writeDescriptorProcs;
  ReadDescriptorProcs* readDescriptorProcs;
};

#if defined(_WIN32)
#pragma pack(push, 4)
#endif

struct FilterRecord {
  int32_t serialNumber;
  TestAbortProc abortProc;
  ProgressProc progressProc;
  Handle parameters;
  Point imageSize;
  int16_t planes;
  Rect filterRect;
  RGBColor background;
  RGBColor foreground;
  int32_t maxSpace;
  int32_t bufferSpace;
  Rect inRect;
  int16_t inLoPlane;
  int16_t inHiPlane;
  Rect outRect;
  int16_t outLoPlane;
  int16_t outHiPlane;
  void* inData;
  int32_t inRowBytes;
  void* outData;
  int32_t outRowBytes;
  Boolean isFloating;
  Boolean haveMask;
  Boolean autoMask;
  Rect maskRect;
  void* maskData;
  int32_t maskRowBytes;
  FilterColor backColor;
  FilterColor foreColor;
  OSType hostSig;
  HostProc hostProc;
  int16_t imageMode;
  Fixed imageHRes;
  Fixed imageVRes;
  Point floatCoord;
  Point wholeSize;
  PlugInMonitor monitor;
  PlatformData* platformData;
  void* bufferProcs;
  void* resourceProcs;
  void* processEvent;
  void* displayPixels;
  HandleProcs* handleProcs;
  Boolean supportsDummyPlanes;
  Boolean supportsAlternateLayouts;
  int16_t wantLayout;
  int16_t filterCase;
  int16_t dummyPlaneValue;
  void* premiereHook;
  AdvanceStateProc advanceState;
  Boolean supportsAbsolute;
  Boolean wantsAbsolute;
  void* getProperty;
  Boolean cannotUndo;
  Boolean supportsPadding;
  int16_t inputPadding;
  int16_t outputPadding;
  int16_t maskPadding;
  char samplingSupport;
  char reservedByte;
  Fixed inputRate;
  Fixed maskRate;
  void* colorServices;
  int16_t inLayerPlanes;
  int16_t inTransparencyMask;
  int16_t inLayerMasks;
  int16_t inInvertedLayerMasks;
  int16_t inNonLayerPlanes;
  int16_t outLayerPlanes;
  int16_t outTransparencyMask;
  int16_t outLayerMasks;
  int16_t outInvertedLayerMasks;
  int16_t outNonLayerPlanes;
  int16_t absLayerPlanes;
  int16_t absTransparencyMask;
  int16_t absLayerMasks;
  int16_t absInvertedLayerMasks;
  int16_t absNonLayerPlanes;
  int16_t inPreDummyPlanes;
  int16_t inPostDummyPlanes;
  int16_t outPreDummyPlanes;
  int16_t outPostDummyPlanes;
  int32_t inColumnBytes;
  int32_t inPlaneBytes;
  int32_t outColumnBytes;
  int32_t outPlaneBytes;
  void* imageServicesProcs;
  void* propertyProcs;
  int16_t inTileHeight;
  int16_t inTileWidth;
  Point inTileOrigin;
  int16_t absTileHeight;
  int16_t absTileWidth;
  Point absTileOrigin;
  int16_t outTileHeight;
  int16_t outTileWidth;
  Point outTileOrigin;
  int16_t maskTileHeight;
  int16_t maskTileWidth;
  Point maskTileOrigin;
  PIDescriptorParameters* descriptorParameters;
  unsigned char* errorString;
  void* channelPortProcs;
  void* documentInfo;
  void* sSPBasic;
  void* plugInRef;
  int32_t depth;
  Handle iCCprofileData;
  int32_t iCCprofileSize;
  int32_t canUseICCProfiles;
  int32_t hasImageScrap;
  void* bigDocumentData;
  char reserved[46];
};

#if defined(_WIN32)
#pragma pack(pop)
#endif

// A host only loads the module when these match the published layout.
#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(FilterRecord, abortProc) == 4, "FilterRecord layout");
static_assert(offsetof(FilterRecord, progressProc) == 8, "FilterRecord layout");
static_assert(offsetof(FilterRecord, parameters) == 12, "FilterRecord layout");
static_assert(offsetof(FilterRecord, planes) == 20, "FilterRecord layout");
static_assert(offsetof(FilterRecord, filterRect) == 22, "FilterRecord layout");
static_assert(offsetof(FilterRecord, bufferSpace) == 48, "FilterRecord layout");
static_assert(offsetof(FilterRecord, inRect) == 52, "FilterRecord layout");
static_assert(offsetof(FilterRecord, inLoPlane) == 60, "FilterRecord layout");
static_assert(offsetof(FilterRecord, outRect) == 64, "FilterRecord layout");
static_assert(offsetof(FilterRecord, outLoPlane) == 72, "FilterRecord layout");
static_assert(offsetof(FilterRecord, inData) == 76, "FilterRecord layout");
static_assert(offsetof(FilterRecord, outData) == 84, "FilterRecord layout");
static_assert(offsetof(FilterRecord, haveMask) == 93, "FilterRecord layout");
static_assert(offsetof(FilterRecord, maskRect) == 96, "FilterRecord layout");
static_assert(offsetof(FilterRecord, maskData) == 104, "FilterRecord layout");
static_assert(offsetof(FilterRecord, hostSig) == 120, "FilterRecord layout");
static_assert(offsetof(FilterRecord, imageMode) == 128, "FilterRecord layout");
static_assert(offsetof(FilterRecord, monitor) == 148, "FilterRecord layout");
static_assert(offsetof(FilterRecord, platformData) == 188, "FilterRecord layout");
static_assert(offsetof(FilterRecord, bufferProcs) == 192, "FilterRecord layout");
static_assert(offsetof(FilterRecord, handleProcs) == 208, "FilterRecord layout");
static_assert(offsetof(FilterRecord, advanceState) == 224, "FilterRecord layout");
static_assert(offsetof(FilterRecord, descriptorParameters) == 356, "FilterRecord layout");
static_assert(offsetof(FilterRecord, depth) == 380, "FilterRecord layout");
static_assert(offsetof(FilterRecord, bigDocumentData) == 400, "FilterRecord layout");
static_assert(sizeof(FilterRecord) == 452, "FilterRecord layout");
static_assert(offsetof(PIDescriptorParameters, descriptor) == 8, "descriptor layout");
static_assert(offsetof(PIDescriptorParameters, writeDescriptorProcs) == 12, "descriptor layout");
static_assert(offsetof(PIDescriptorParameters, readDescriptorProcs) == 16, "descriptor layout");
static_assert(sizeof(PIDescriptorParameters) == 20, "descriptor layout");
#endif
// The same declaration on 64-bit Windows: pointers grow to 8 bytes and still
// sit on 4-byte boundaries. The suites are naturally aligned.
#if defined(_WIN64)
static_assert(offsetof(FilterRecord, abortProc) == 4, "FilterRecord layout");
static_assert(offsetof(FilterRecord, progressProc) == 12, "FilterRecord layout");
static_assert(offsetof(FilterRecord, parameters) == 20, "FilterRecord layout");
static_assert(offsetof(FilterRecord, planes) == 32, "FilterRecord layout");
static_assert(offsetof(FilterRecord, platformData) == 216, "FilterRecord layout");
static_assert(offsetof(FilterRecord, bufferProcs) == 224, "FilterRecord layout");
static_assert(offsetof(FilterRecord, handleProcs) == 256, "FilterRecord layout");
static_assert(offsetof(FilterRecord, descriptorParameters) == 432, "FilterRecord layout");
static_assert(offsetof(FilterRecord, depth) == 480, "FilterRecord layout");
static_assert(sizeof(FilterRecord) == 560, "FilterRecord layout");
static_assert(offsetof(PIDescriptorParameters, descriptor) == 8, "descriptor layout");
static_assert(offsetof(PIDescriptorParameters, writeDescriptorProcs) == 16, "descriptor layout");
static_assert(offsetof(PIDescriptorParameters, readDescriptorProcs) == 24, "descriptor layout");
static_assert(sizeof(PIDescriptorParameters) == 32, "descriptor layout");
static_assert(offsetof(HandleProcs, newProc) == 8, "handle suite layout");
static_assert(sizeof(HandleProcs) == 8 + 8 * 8, "handle suite layout");
static_assert(sizeof(PlatformData) == 8, "platform data layout");
#endif

// The export. cdecl on Windows, undecorated through the module definition file.
extern "C" void BRISEL_CDECL ENTRYPOINT(int16_t selector, FilterRecord* filterRecord, intptr* data,
                                        int16_t* result);
