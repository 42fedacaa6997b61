#pragma once

// The panel program's runs and tree listings are declared with the other helpers.
#include "TestSupport.h"
