// The descriptor owner lives in the foundation library.
#pragma once

#include "foundation/fd.h"
