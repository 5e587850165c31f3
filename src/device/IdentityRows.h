// The rows that say which sensor this is. A parameter file saved from one sensor and loaded
// into another would give it the other's identity; callers warn, or keep the sensor's own.
#pragma once

#include <string>
#include <vector>

#include "params/ParamTable.h"

namespace karvo::device {

// Device type, serial number, base distance and measuring range.
const std::vector<int>& IdentityRows();

// The identity rows where `loaded` differs from what the sensor holds (`held`).
std::vector<int> DifferingIdentityRows(const TParamSet& loaded, const TParamSet& held);

// Puts the sensor's own identity rows back into `loaded`.
void KeepIdentityRows(TParamSet& loaded, const TParamSet& held);

// "Serial Number 1234 (the sensor has 4321), Device Type 7 (the sensor has 5)", in UTF-8.
std::string IdentityRowsText(const std::vector<int>& rows, const TParamSet& loaded,
                             const TParamSet& held);

}  // namespace karvo::device
