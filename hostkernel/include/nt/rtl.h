// placeholder: filled in by the rtl component
#pragma once
#include "nt/ntdef.h"
