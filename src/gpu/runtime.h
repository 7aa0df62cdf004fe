#pragma once
// Everything engine code needs to write, launch and drive kernels in both builds.
#include "gpu/runtime_base.h"
#include "gpu/block.h"
#include "gpu/launch.h"
