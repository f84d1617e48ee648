// A ground-floor file that reaches up: the check must refuse it.
#pragma once
#include "launch/spawn.h"
