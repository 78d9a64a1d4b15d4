// The reliability engine in one include: standard normal space, FORM and
// SORM, importance sampling and subset simulation.
#pragma once

#include "rbo/reliability/Form.h"
#include "rbo/reliability/LimitState.h"
#include "rbo/reliability/Simulation.h"
#include "rbo/reliability/StandardNormal.h"
#include "rbo/reliability/StandardSpace.h"
