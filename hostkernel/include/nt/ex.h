// placeholder: filled in by the ex component
#pragma once
#include "nt/ntdef.h"
