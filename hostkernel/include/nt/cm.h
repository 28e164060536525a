// placeholder: filled in by the cm component
#pragma once
#include "nt/ntdef.h"
