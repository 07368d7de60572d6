// The library spreads work over threads with the support library's helpers.
#pragma once

#include "util/Threads.h"
