// placeholder: filled in by the io component
#pragma once
#include "nt/ntdef.h"
