// fileNames.cpp -- the module's fixed file names
#include "store/fileLayer.h"

const char kColourStoreName[] = "c:\\BackingS.xxx";
const char kExtraStoreName[] = "c:\\OpacityS.xxx";
const char kMaskStoreName[] = "c:\\MaskImag.xxx";
const char kSettingsFileName[] = "c:\\OMKApref.xxx";
const char kRunLogName[] = "c:\\OMKAlog.txt";
