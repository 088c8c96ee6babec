// runReport.h -- what a run tells its user: errors described, the settings-file warning, values
// used
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "pluginHost/pluginHost.h"
#include "resources/filterParameters.h"

// One error line; returns the exit code 1.
int fail(const std::string& message);

// What a module's result code means for this run, in words.
std::string describeResult(int16_t code, const HostImage& image, const HostRunOptions& options,
                           const HostRunResult& result);

// The four parameters as the settings file holds them (little-endian floats
// at 484..496), when it can be read; where another run's hold keeps it from
// being read at all (Windows), busy says so.
struct SettingsValues {
  bool known = false;
  bool busy = false;
  FilterValues values = {};
};

SettingsValues readSettingsValues();

// Says when a parameter not given was not the settings file's value (read
// again here, and compared with before, read ahead of the run).
void warnIfSettingsUnused(const SettingsValues& before, const bool given[kParameterCount],
                          const FilterValues& used);

// The shortest text that reads back as the same float.
std::string formatValue(float value);

// The values the filter recorded for the run, which are the values it used.
bool findUsedValues(const HostRunResult& result, FilterValues* used);

// One line of the values used, each after its parameter's name, after "name: "
// when a name is given.
void printValues(FILE* to, const std::string& name, const FilterValues& used);

bool interrupted();
