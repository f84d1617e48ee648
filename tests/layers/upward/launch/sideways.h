// A launcher that drives supervision: the check must refuse it.
#pragma once
#include "supervision/teardown.h"
