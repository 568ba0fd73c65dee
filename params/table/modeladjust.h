// Adjusts the parameter table to the device model: the feature mask, the
// USB port count of models whose identity gives a wrong one, and which
// parameters the model does not have (PF_HIDDEN).
#ifndef PARAMS_TABLE_MODELADJUST_H
#define PARAMS_TABLE_MODELADJUST_H

#include <cstdint>

class Param;
struct ProductParams;

// The model's feature bits from its identity. Corrects usb_ports_phy of
// three models in place (with a line on standard error each).
uint32_t modelFeatures(ProductParams& product);

// Applies the model to a parameter table sorted by key: corrects the port
// count, sets `sw_features` and `zovPortNumber` and adds PF_HIDDEN to the
// parameters the model does not have (nothing is ever unhidden).
void adjustParametersToModel(ProductParams& product, Param* const* items, int count);

// The same for the device's identity and the parameter store. Called once
// at start, after the parameter file is loaded and before the first commit.
void setRuntimeEnv();

#endif
