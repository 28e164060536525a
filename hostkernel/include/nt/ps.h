// placeholder: filled in by the ps component
#pragma once
#include "nt/ntdef.h"
