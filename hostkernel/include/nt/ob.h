// placeholder: filled in by the ob component
#pragma once
#include "nt/ntdef.h"
