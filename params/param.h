// All parameter classes.
#ifndef PARAMS_PARAM_H
#define PARAMS_PARAM_H

#include "params/parambase.h"
#include "params/intparam.h"
#include "params/onoffparam.h"
#include "params/stringparam.h"
#include "params/p3list.h"
#include "params/macparam.h"
#include "params/ip4param.h"
#include "params/ip6address.h"

#endif
