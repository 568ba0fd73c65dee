// The feature table: named optional functions of the device, asked by the
// page templates ("NUV_CFG_" followed by the name).
#ifndef PARAMS_TABLE_FEATURES_H
#define PARAMS_TABLE_FEATURES_H

#include <cstdint>

// 1 when a row of the feature table matches the name and is available with
// the given feature bits, else 0. A row matches when the name, without
// regard to case, equals the beginning of the row's name; a matching row
// that is not available does not end the search.
int featureAvailableWith(const char* name, uint32_t features);

// The same for the model's features, the current value of `sw_features`.
int isFeatureAvailable(const char* name);

#endif
