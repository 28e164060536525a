// placeholder: filled in by the ke component
#pragma once
#include "nt/ntdef.h"
