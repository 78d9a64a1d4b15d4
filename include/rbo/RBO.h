// The whole external interface of RBO, reliability-based design optimisation.
//
// Include this one header to embed the library: the exception family, the
// matrix container, the random variables, every exported function, and the
// declarations of the host framework that the library calls.
#pragma once

#include "rbo/Export.h"
#include "rbo/RandRespModules.h"
#include "rbo/RandVar.h"
#include "rbo/RandVarModules.h"
#include "rbo/foundation/Matrix.h"
#include "rbo/foundation/OrvoErr.h"
#include "rbo/host/DB.h"
#include "rbo/host/DBUtils.h"
#include "rbo/host/Log.h"
#include "rbo/host/ObjectStore.h"
#include "rbo/host/Utility.h"
