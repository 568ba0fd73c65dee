// All parameter classes.
#ifndef PARAMS_TYPES_PARAM_H
#define PARAMS_TYPES_PARAM_H

#include "params/types/intparam.h"
#include "params/types/ip4param.h"
#include "params/types/ip6address.h"
#include "params/types/macparam.h"
#include "params/types/onoffparam.h"
#include "params/types/p3list.h"
#include "params/types/parambase.h"
#include "params/types/stringparam.h"

#endif
