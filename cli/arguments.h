// arguments.h -- brisel's command line as a record, and the run options it gives
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/imageKinds.h"
#include "pluginHost/pluginHost.h"
#include "resources/filterParameters.h"

struct Arguments {
  std::vector<std::string> inputs;
  std::string output, plugin, recordPath, replayPath, maskPath;
  std::string outputFolder, suffix;
  std::string format;  // OUT's kind as an extension ("png"), when given
  int32_t quality = kDefaultJpegQuality;
  bool qualityGiven = false;
  int jobs = 0;  // 0: as many as there are cores
  bool dialog = false;
  bool hasSelect = false;
  Rect select{0, 0, 0, 0};
  // By parameter. The numbers stay as typed, in double: the descriptor carries
  // them so, and the filter rounds them to float itself.
  bool given[kParameterCount] = {};
  double values[kParameterCount] = {};
};

// A malformed command: the line and the usage text; returns the exit code 2.
int usageError(const std::string& message);
// A well-formed command with a value the filter cannot take: one line; returns 2.
int valueError(const std::string& message);

// A parameter's text as a number from 0 to 1; false when it is not one.
bool parseUnitValue(const char* text, double* value);

// The texts of brisel --help and brisel apply --help.
std::string usageText();
std::string applyHelpText();

// Returns 0 when parsed, else the exit code of the reported problem. --help
// and --version print and exit here.
int parseArguments(int argc, char** argv, Arguments* args);

// Drops --dialog, with a warning, where the module has no dialog.
void settleDialogChoice(Arguments* args);

// The descriptor and dialog choice from the command line and the replay file;
// given says which parameters do not come from the settings file. Returns 0,
// else the exit code of the reported problem.
int buildParameters(const Arguments& args, HostRunOptions* options, bool given[kParameterCount]);
