#pragma once
// Values of the updater's own version block; they live with its other resources.
#include "res/version.h"
